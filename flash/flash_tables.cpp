// Flash identification and command tables.
#include "camera/camera_device.h"
