// Camera discovery and the per-camera objects.
#include "camera/camera_device.h"
