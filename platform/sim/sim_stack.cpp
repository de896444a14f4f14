// The simulated camera stack.
