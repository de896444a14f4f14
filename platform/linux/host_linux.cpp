// The Linux OS backend: one object per service, bundled into a Platform.
#include <cstdlib>

#include "platform/host.h"
#include "platform/linux/kernel_io.h"
#include "platform/linux/linux_camera_stack.h"
#include "platform/linux/linux_clock.h"
#include "platform/linux/linux_console.h"
#include "platform/linux/linux_device_registry.h"
#include "platform/linux/linux_file_system.h"
#include "platform/linux/linux_instance_guard.h"
#include "platform/linux/linux_profile.h"
#include "platform/linux/linux_resources.h"
#include "platform/linux/linux_write_guard.h"
#include "platform/linux/wide_text.h"

namespace qv {
namespace {

class LinuxHostPlatform : public HostPlatform {
 public:
  Platform platform() override {
    return Platform{cameras_,   registry_, clock_,         files_,
                    resources_, profile_,  instanceGuard_, console_};
  }

 private:
  // Declared first: the camera stack and the registry use them.
  linux_host::SystemKernelIo kernel_;
  linux_host::LinuxConsole console_;
  linux_host::LinuxCameraStack cameras_{kernel_, linux_host::KernelRoots{}, console_};
  linux_host::LinuxDeviceRegistry registry_{kernel_, linux_host::KernelRoots{}};
  linux_host::LinuxClock clock_;
  // The folder the build installs the program to: an installed copy keeps
  // its files out of it even when root runs it.
  linux_host::LinuxFileSystem files_{QVFLASH_INSTALL_BINDIR};
  linux_host::LinuxResources resources_;
  linux_host::LinuxProfile profile_;
  linux_host::LinuxInstanceGuard instanceGuard_;
};

}  // namespace

std::unique_ptr<HostPlatform> createHostPlatform() { return std::make_unique<LinuxHostPlatform>(); }

std::unique_ptr<IWriteGuard> createHostWriteGuard() {
  return std::make_unique<linux_host::LinuxWriteGuard>();
}

std::vector<std::wstring> commandLineArguments(int argc, char** argv) {
  // Arguments are bytes, as file names are, and become wide text the way a
  // path does: a file name given to an option reaches the system calls as
  // the very bytes that were typed, UTF-8 or not, and reads as its
  // characters in the report.
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(linux_host::PathToWide(argv[i]));
  return args;
}

std::optional<std::filesystem::path> environmentPath(const char* name) {
  // File names are bytes here; the path keeps them as they are.
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::filesystem::path(value);
}

}  // namespace qv
