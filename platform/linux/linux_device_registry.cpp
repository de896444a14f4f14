#include "platform/linux/linux_device_registry.h"

#include "platform/hresult.h"

namespace qv::linux_host {
namespace {

class EmptyImageDeviceList : public IImageDeviceList {
 public:
  bool EnumDeviceInfo(std::uint32_t, DevInst&, std::uint32_t& lastError) override {
    lastError = win32err::NoMoreItems;
    return false;
  }
  bool GetDeviceId(DevInst, char*, std::uint32_t) override { return false; }
  bool GetRegistryProperty(DevInst, DeviceRegistryProperty, std::uint8_t*, std::uint32_t,
                           std::uint32_t& requiredSize, std::uint32_t& lastError) override {
    requiredSize = 0;
    lastError = win32err::NotFound;
    return false;
  }
  bool GetParent(DevInst, DevInst&) override { return false; }
};

}  // namespace

std::unique_ptr<IImageDeviceList> LinuxDeviceRegistry::OpenPresentImageDevices() {
  return std::make_unique<EmptyImageDeviceList>();
}

}  // namespace qv::linux_host
