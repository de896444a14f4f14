#pragma once
// Flash programming: the chip's download mode with checksum verification
// (CCameraDevice::DownloadFirmware), the flash protection operations, the
// sector-pair route, and the constants and per-family data they share. The
// operations themselves are members of CCameraDevice and CCameraCore
// (camera/camera_device.h); identification and command tables are in
// flash/flash_tables.h.

#include <array>
#include <cstdint>

#include "camera/camera_device.h"
#include "flash/flash_tables.h"

namespace qv {

// Update state codes, kept current in the caller's state byte.
inline constexpr std::uint8_t UPD_START = 20;     // engine entered
inline constexpr std::uint8_t UPD_TRANSFER = 21;  // a block or unit is about to be sent
inline constexpr std::uint8_t UPD_VERIFY = 22;    // checksum or read-back verification
inline constexpr std::uint8_t UPD_DONE = 23;      // finished (the result tells how)
inline constexpr std::uint8_t UPD_FAIL = 24;      // sector-pair route: failed

inline constexpr std::uint8_t PROGRESS_START = 5;
inline constexpr std::uint8_t PROGRESS_VERIFY = 95;
inline constexpr std::uint8_t PROGRESS_DONE = 100;

// Download mode: the staging buffer every block is assembled in. The chip
// announces its block length; a length of 0 or one above this is refused.
inline constexpr std::uint32_t DFU_STAGING_SIZE = 4096;

// Pauses of the download (milliseconds): between the two GPIO register
// updates, before the device checksum is used, and before the chip reset
// that ends a download on families 106 to 108.
inline constexpr std::uint32_t GPIO_PAUSE_MS = 50;
inline constexpr std::uint32_t CHECKSUM_PAUSE_MS = 500;
inline constexpr std::uint32_t RESET_PAUSE_MS = 500;
// Each pause stays well under a second, and the waits poll without pausing:
// since uvcvideo's granular power-management change a camera left
// without a request for the USB autosuspend delay (2 s by default) may be
// suspended in the middle of the download.
static_assert(GPIO_PAUSE_MS < 1000 && CHECKSUM_PAUSE_MS < 1000 && RESET_PAUSE_MS < 1000,
              "a pause of the download must keep the camera from autosuspending");

// GPIO preparation ("GPIO" = 1 in section "SETTING" of setting.ini): bit
// 0x02 is set in these two chip registers.
inline constexpr std::uint16_t REG_GPIO_A = 0x2041;
inline constexpr std::uint16_t REG_GPIO_B = 0x2043;
inline constexpr std::uint8_t GPIO_PREPARE_BIT = 0x02;

// Flash status register values: all protection off, and the block-protect
// bits the update restores.
inline constexpr std::uint8_t FLASH_STATUS_UNPROTECTED = 0x00;
inline constexpr std::uint8_t FLASH_STATUS_PROTECTED = 0x0C;

// Number of image bytes rewritten at the family's offset after the first
// block (the chip's download mode leaves them to the host).
inline constexpr std::uint32_t HEADER_REWRITE_LENGTH = 6;

// What the download differs in from one chip family to the next.
struct DownloadFamilyProfile {
  ChipFamily firstFamily;
  ChipFamily lastFamily;
  bool marksHeader;                         // header byte + rewritten bytes after the first block
  std::uint8_t transferHeader;              // flash byte 0 while the transfer runs
  std::uint32_t rewriteOffset;              // the 6 bytes written again after the first block
  std::array<std::uint8_t, 2> finalHeader;  // written at flash address 0 on success
  std::uint8_t finalHeaderLength;           // 0: the family commits instead
  bool commits;                             // XU_DFU_COMMIT = 1 on success
  bool prepares;                            // XU_DFU_PREPARE = 1 before unprotect
  bool resetsAfterLeave;  // 500 ms pause and chip reset after leaving download mode
  bool writesProtection;  // the protection operations act on this family
};

inline constexpr std::array<DownloadFamilyProfile, 4> kDownloadFamilyProfiles{{
    {102, 103, true, 0xF5, 0x8008, {0x55, 0x00}, 1, false, false, false, true},
    {104, 104, true, 0xF5, 0xB70A, {0x55, 0x00}, 1, false, false, false, true},
    {105, 105, true, 0xF9, 0x678A, {0x89, 0x16}, 2, false, true, false, true},
    {106, 108, false, 0x00, 0x0000, {0x00, 0x00}, 0, true, false, true, false},
}};

// Any family outside the table.
inline constexpr DownloadFamilyProfile kDefaultDownloadProfile{
    0, 0, true, 0xF5, 0xF000, {0x55, 0x00}, 1, false, false, false, true};

constexpr const DownloadFamilyProfile& DownloadProfileOf(ChipFamily family) {
  for (const DownloadFamilyProfile& profile : kDownloadFamilyProfiles) {
    if (family >= profile.firstFamily && family <= profile.lastFamily) return profile;
  }
  return kDefaultDownloadProfile;
}

// Progress of the download while block `offset` of `length` is sent:
// 5 for the first block, never above 94 (unsigned 32-bit, truncating).
constexpr std::uint8_t DownloadProgress(std::uint32_t offset, std::uint32_t length) {
  return static_cast<std::uint8_t>((offset * 90u) / length + 5u);
}

// Sector-pair route. Units of 4096 bytes, each sent as two 4096-byte halves
// holding 32 of every 64 bytes; a 64 KB address space.
inline constexpr std::uint32_t SECTOR_UNIT_SIZE = 4096;
inline constexpr std::uint32_t SECTOR_ROW_SIZE = 64;
inline constexpr std::uint32_t SECTOR_HALF_ROW_DATA = 32;
inline constexpr std::uint32_t SECTOR_ADDRESS_SPACE = 0x10000;
inline constexpr std::uint32_t READ_BACK_SIZE = 0x20000;
inline constexpr std::uint8_t SECTOR_TRANSFER_HEADER = 0xF5;
inline constexpr std::uint8_t SECTOR_FINAL_HEADER = 0x55;

// Progress before unit u of a range of `span` bytes: 90 * 4096 * u / span + 5.
constexpr std::uint8_t SectorProgress(std::uint32_t unitsDone, std::uint32_t span) {
  return static_cast<std::uint8_t>((unitsDone * 0x5A000u) / span + 5u);
}

// Read-back regions of the verification selector n: 1 to 4 name a region,
// any other value reads the whole 64 KB and compares its first n bytes.
struct VerifyRegion {
  std::uint32_t start;
  std::uint32_t end;  // exclusive
};
inline constexpr std::array<VerifyRegion, 4> kVerifyRegions{{
    {0x0000, 0x2000},
    {0x2000, 0xD000},
    {0xD000, 0x10000},
    {0x0000, 0x10000},
}};

// The decimal value of a profile string as the C runtime's atoi reads it:
// leading white space skipped, an optional sign, digits up to the first
// non-digit; 0 when there are none.
std::int32_t ParseProfileInteger(const char* text);

}  // namespace qv
