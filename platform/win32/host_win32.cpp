// The Windows platform: every service of the seam, backed by the system.
#include "platform/host.h"
#include "platform/win32/win32_services.h"

namespace qv {

namespace {

class Win32Host final : public HostPlatform {
 public:
  Platform platform() override {
    return Platform{cameras_,   registry_, clock_,         files_,
                    resources_, profile_,  instanceGuard_, console_};
  }

 private:
  win32::Win32CameraStack cameras_;
  win32::Win32DeviceRegistry registry_;
  win32::Win32Clock clock_;
  win32::Win32FileSystem files_;
  win32::Win32Resources resources_;
  win32::Win32Profile profile_;
  win32::Win32InstanceGuard instanceGuard_;
  win32::Win32Console console_;
};

}  // namespace

std::unique_ptr<HostPlatform> createHostPlatform() { return std::make_unique<Win32Host>(); }

}  // namespace qv
