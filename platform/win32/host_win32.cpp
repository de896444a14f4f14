// The Windows platform: every service of the seam, backed by the system.
#include <windows.h>

// After windows.h, whose types it uses.
#include <shellapi.h>

#include "platform/host.h"
#include "platform/win32/win32_services.h"
#include "platform/win32/write_guard_win32.h"

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

std::unique_ptr<IWriteGuard> createHostWriteGuard() {
  return std::make_unique<win32::Win32WriteGuard>();
}

std::vector<std::wstring> commandLineArguments(int argc, char** argv) {
  std::vector<std::wstring> args;
  int count = 0;
  LPWSTR* list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (list != nullptr) {
    for (int i = 1; i < count; ++i) args.emplace_back(list[i]);
    ::LocalFree(list);
    return args;
  }
  // Only when the system cannot split its own command line (no memory):
  // the narrow copy, byte by byte.
  return widenArgumentBytes(argc, argv);
}

std::optional<std::filesystem::path> environmentPath(const char* name) {
  std::wstring wideName;
  for (const char* p = name; *p != '\0'; ++p) wideName.push_back(static_cast<wchar_t>(*p));
  std::wstring value(MAX_PATH, L'\0');
  // The variable may change between the calls; a few rounds settle it.
  for (int round = 0; round < 4; ++round) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length =
        ::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::filesystem::path();  // set, but empty
    }
    if (length < value.size()) {
      value.resize(length);
      return std::filesystem::path(value);
    }
    value.assign(length, L'\0');  // too small: `length` includes the terminator
  }
  return std::filesystem::path();
}

}  // namespace qv
