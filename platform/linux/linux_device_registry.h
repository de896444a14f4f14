#pragma once
// The Image-class device registry on Linux: not wired yet (it arrives with
// the V4L2 camera stack); the list of present devices is empty.

#include "platform/device_registry.h"

namespace qv::linux_host {

class LinuxDeviceRegistry : public IDeviceRegistry {
 public:
  std::unique_ptr<IImageDeviceList> OpenPresentImageDevices() override;
};

}  // namespace qv::linux_host
