// ParseSidecar on any text a person could hand in beside a backup: a
// sidecar it takes holds only values a restore can trust, written again it
// reads back the same; one it refuses says why. Never a crash.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/backup_file.h"
#include "flash/flash_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qv::BackupSidecar sidecar;
  std::string why;
  if (!qv::ParseSidecar(text, sidecar, why)) {
    if (why.empty() || why.find('\n') != std::string::npos) __builtin_trap();
    return 0;
  }
  const bool trusted =
      sidecar.family >= 102 && sidecar.family <= 108 &&
      sidecar.flashType >= qv::FLASH_TYPE_FIRST_PART &&
      sidecar.flashType <= qv::FLASH_TYPE_LAST_PART &&
      sidecar.part == qv::kFlashParts[sidecar.flashType - qv::FLASH_TYPE_FIRST_PART].name &&
      sidecar.size != 0 && sidecar.size <= qv::kBackupSpanLimit &&
      sidecar.size % qv::kBackupSectorSize == 0 && sidecar.sha256.size() == 64;
  if (!trusted) __builtin_trap();
  qv::BackupSidecar again;
  if (!qv::ParseSidecar(qv::SidecarJson(sidecar), again, why)) __builtin_trap();
  if (again.family != sidecar.family || again.flashType != sidecar.flashType ||
      again.size != sidecar.size || again.sha256 != sidecar.sha256 ||
      again.cameraId != sidecar.cameraId)
    __builtin_trap();
  return 0;
}
