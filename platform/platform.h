#pragma once
// The platform as the logic sees it: one reference per service.

#include "platform/camera_stack.h"
#include "platform/device_registry.h"
#include "platform/os_services.h"

namespace qv {

struct Platform {
  ICameraStack& cameras;
  IDeviceRegistry& registry;
  IClock& clock;
  IFileSystem& files;
  IResources& resources;
  IProfile& profile;
  IInstanceGuard& instanceGuard;
  IConsole& console;
};

}  // namespace qv
