// The simulated camera.
