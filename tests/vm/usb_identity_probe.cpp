// Prints the USB identity the tool's lookup finds for each camera of the
// system's camera stack, one line per camera:
//   <index> <vendor> <product> <revision>    (four hexadecimal digits each)
//   <index> open-failed
// The VM checks compare it with what the kernel reports in sysfs.
#include <cstdint>
#include <cstdio>
#include <memory>

#include "camera/camera_device.h"
#include "platform/host.h"

int main() {
  const std::unique_ptr<qv::HostPlatform> host = qv::createHostPlatform();
  const qv::Platform platform = host->platform();
  std::int32_t count = 0;
  (void)qv::CountCameras(platform, count);
  for (std::int32_t i = 0; i < count; ++i) {
    qv::CCameraDevice device(platform);
    if (device.OpenCamera(qv::CHIP_FAMILY_ANY, i) != qv::STATUS_OK) {
      std::printf("%d open-failed\n", static_cast<int>(i));
      continue;
    }
    qv::CAMERA_USB_INFO info{};
    if (device.GetUsbInfo(info) != qv::STATUS_OK) {
      std::printf("%d lookup-failed\n", static_cast<int>(i));
      continue;
    }
    std::printf("%d %04X %04X %04X\n", static_cast<int>(i), info.vendor, info.product,
                info.revision);
  }
  return count > 0 ? 0 : 1;
}
