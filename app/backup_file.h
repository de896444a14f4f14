#pragma once
// A backup of a camera's flash and its sidecar. The backup file holds the
// first min(part size, 64 KB) bytes of the flash, exactly as read; the
// sidecar, FILE.json beside it, says what it was read from, so that a
// restore can refuse a file that is not whole or belongs to another kind of
// camera before anything is written.

#include <cstdint>
#include <string>
#include <string_view>

#include "channel/xu_channel.h"
#include "platform/os_services.h"

namespace qv {

// The most a backup holds: the chip's flash addresses are 16-bit, so every
// byte the tool reads or writes lies in the first 64 KB.
inline constexpr std::uint32_t kBackupSpanLimit = 0x10000;
// Backups and restores go in whole 4 KB sectors (the erase unit of every
// part of the flash tables).
inline constexpr std::uint32_t kBackupSectorSize = 0x1000;
// Text after a backup's file name that names its sidecar.
inline constexpr std::wstring_view kSidecarSuffix = L".json";

struct BackupSidecar {
  std::string cameraId;        // the camera ID it was read from (may be empty: unknown)
  ChipFamily family = 0;       // the chip family, 102 to 108
  std::string part;            // the flash part's name in the flash tables ("GD25Q512")
  std::uint8_t flashType = 0;  // its FlashType, 121 to 144
  std::uint32_t size = 0;      // the backup's length in bytes
  std::string sha256;          // of the backup's bytes, 64 lower-case hexadecimal digits
  std::string time;            // when it was read, UTC ("2026-12-09T09:30:44Z"); may be empty
  std::string toolVersion;     // the qvflash that read it
};

// The sidecar as JSON text (UTF-8, one line end at the end).
std::string SidecarJson(const BackupSidecar& sidecar);

// Reads a sidecar. False, with one line of `why` (no line end), when the
// text is not a sidecar this tool can trust: not JSON, a field missing or
// of the wrong type, a family outside 102 to 108, a FlashType outside the
// tables or not the named part, a size that is zero, above kBackupSpanLimit
// or not whole sectors, a SHA-256 that is not 64 hexadecimal digits.
bool ParseSidecar(std::string_view text, BackupSidecar& sidecar, std::string& why);

// The folder of the files the tool keeps between runs, ending with the
// separator: `subfolder` (may be empty) of the per-user state folder (see
// IFileSystem::StateFolder), created as needed, or, where the environment
// names none, the tool's own folder (ToolFolder). False, the reason noted,
// when it cannot be had or created.
bool KeptFilesFolder(IFileSystem& files, std::wstring_view subfolder, std::wstring& folder);
// Where backups go by default: "backups" of the state folder.
inline constexpr std::wstring_view kBackupSubfolder = L"backups";

// The default name of a backup: the camera ID made safe for a file name on
// every system (only letters, digits, '-', '_' and '.' kept, "camera" when
// empty), the UTC stamp, the first 8 hexadecimal digits of its SHA-256.
// "usb-1-1_20261209T093044Z_3fa2b1c0.bin"
std::wstring BackupFileName(std::string_view cameraId, std::int64_t utcSeconds,
                            std::string_view sha256);

}  // namespace qv
