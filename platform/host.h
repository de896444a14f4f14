#pragma once
// The OS backend chosen at build time (platform/linux or platform/win32).

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/write_phase.h"

namespace qv {

class HostPlatform {
 public:
  virtual ~HostPlatform() = default;
  // The OS services, and the real camera stack and device registry.
  virtual Platform platform() = 0;
};

std::unique_ptr<HostPlatform> createHostPlatform();

// The OS's write-phase guard (signals on Linux, the console control handler
// on Windows), active from its creation; the entry point installs it with
// setWriteGuard. One per process.
std::unique_ptr<IWriteGuard> createHostWriteGuard();

// The command-line arguments after the program name, as the system holds
// them. (On Windows that is the wide command line: the narrow `argv` is a
// code-page copy in which characters without an equivalent are replaced by
// look-alikes, so a full-width "－ｄｕｍｐ" would read as "-dump".)
std::vector<std::wstring> commandLineArguments(int argc, char** argv);

// The narrow arguments after the program name, each byte one wide character
// (Windows' last resort when its own command line cannot be split). The
// switches are ASCII, so a non-ASCII argument never compares equal to one.
inline std::vector<std::wstring> widenArgumentBytes(int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg;
    for (const char* p = argv[i]; *p != '\0'; ++p) {
      arg.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    args.push_back(std::move(arg));
  }
  return args;
}

// The value of the environment variable `name`, which names a file, as a
// path in the system's own form (wide text on Windows, so that no code-page
// conversion can fail or alter it). Nothing when the variable is not set.
std::optional<std::filesystem::path> environmentPath(const char* name);

}  // namespace qv
