#pragma once
// What the long options ask of the cameras: an inventory, an update only
// where needed, of every target camera, verified by read-back, a dump into a
// named file, and a JSON report of any of these.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/options.h"

namespace qv {

struct CameraOptions {
  bool list = false;                        // --list: the read-only inventory
  bool ifNeeded = false;                    // --if-needed: a current camera is not written
  bool all = false;                         // --all: every target camera, in index order
  bool verify = false;                      // --verify: read back after an update that passed
  bool dryRun = false;                      // --dry-run: an update's checks only, nothing written
  std::optional<std::wstring> dumpFile;     // --dump FILE
  std::optional<std::wstring> jsonFile;     // --json FILE ("-": standard output, --list only)
  std::optional<std::wstring> cameraId;     // --camera ID: only this camera
  std::optional<std::wstring> backupFile;   // --backup FILE
  bool noBackup = false;                    // --no-backup
  std::optional<std::wstring> restoreFile;  // --restore FILE
  bool force = false;                       // --force
  bool history = false;                     // --history
  bool check = false;                       // --check
  std::optional<std::uint32_t> retryCode;   // --retry-code N: the exit code in place of 4
};

// The report written on standard output instead of the inventory table.
inline constexpr std::wstring_view kStandardOutputName = L"-";

// The camera options of a command line of long options.
CameraOptions CameraOptionsOf(const CommandLine& line);

}  // namespace qv
