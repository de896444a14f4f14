// Firmware state: the identification with its reply, what an update leaves
// in flash, and the comparison of a read-out with it.
#include "flash/firmware_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "flash/download_engine.h"
#include "platform/failure_notes.h"

namespace qv {

namespace {

// The read-out addresses 64 KB (16-bit addresses).
constexpr std::uint32_t kAddressSpace = 0x10000;
constexpr std::uint32_t kReadUnit = 4096;

// Part sizes from the parts' datasheets, in KB, indexed by code minus 121:
// 512 Kbit parts hold 64 KB, "10"/"1006"/"1021" parts 1 Mbit, "40" parts
// 4 Mbit, "16" parts 16 Mbit, the PM25LD256 256 Kbit.
constexpr std::array<std::uint16_t, kFlashParts.size()> kPartSizesKb{{
    64,    // 121 MX25L512
    64,    // 122 GD25Q512
    64,    // 123 FM25F005
    64,    // 124 MD25D512
    128,   // 125 MD25D10
    128,   // 126 MX25L1006E
    64,    // 127 GT25F512
    64,    // 128 PM25LQ512
    64,    // 129 W25X05CL
    512,   // 130 MK25D40
    2048,  // 131 ZB25D16
    2048,  // 132 MK25D16
    128,   // 133 GD25D10B
    64,    // 134 BY25Q512
    64,    // 135 MX25L5121E
    128,   // 136 MX25L1021E
    64,    // 137 SST25VF512
    64,    // 138 PM25LD512
    32,    // 139 PM25LD256
    64,    // 140 PM25LV512
    64,    // 141 AT25F512B
    64,    // 142 EN25F05
    512,   // 143 EN25F40
    64,    // 144 AMICA25LS512
}};

}  // namespace

FlashIdentity IdentifyFlash(CCameraDevice& device) {
  FlashIdentity identity;
  CCameraCore* core = device.core();
  if (core == nullptr) return identity;
  std::uint8_t result = FLASH_TYPE_UNDEFINED;
  for (const FlashIdStage& stage : kFlashIdStages) {
    std::uint8_t reply[3] = {};
    (void)core->ReadFlashId(reply, stage.command);
    identity.command = stage.command;
    std::memcpy(identity.reply.data(), reply, 3);
    result = MatchFlashIdStage(stage, reply);
    if (result != FLASH_ID_NEXT_STAGE) break;
  }
  // The last stage never moves on; a reply it does not know is undefined.
  identity.flashType = result == FLASH_ID_NEXT_STAGE ? FLASH_TYPE_UNDEFINED : result;
  return identity;
}

std::uint32_t FlashPartSize(std::uint8_t flashType) {
  if (flashType < FLASH_TYPE_FIRST_PART || flashType > FLASH_TYPE_LAST_PART) return 0;
  return std::uint32_t{kPartSizesKb[flashType - FLASH_TYPE_FIRST_PART]} * 1024u;
}

std::uint32_t UpdateSpanEnd(ChipFamily family, std::uint32_t imageLength) {
  const DownloadFamilyProfile& profile = DownloadProfileOf(family);
  if (!profile.marksHeader || imageLength == 0) return imageLength;
  return std::max(imageLength, profile.rewriteOffset + HEADER_REWRITE_LENGTH);
}

bool ExpectedFlash::Build(ChipFamily family, std::uint8_t flashType,
                          std::span<const std::uint8_t> image) {
  rangeCount_ = 0;
  readEnd_ = 0;
  if (image.size() > kAddressSpace) return false;
  const DownloadFamilyProfile& profile = DownloadProfileOf(family);

  // The engine's buffer: the image at its start, zero beyond, patched for
  // the part's command class.
  std::vector<std::uint8_t> buffer(0x20000, 0);
  std::copy(image.begin(), image.end(), buffer.begin());
  PatchImageCode(buffer.data(), family, flashType);
  imageLength_ = static_cast<std::uint32_t>(image.size());
  checksum_ = 0;
  for (std::uint32_t i = 0; i < imageLength_; ++i) checksum_ ^= buffer[i];

  // The transfer programs every image byte into erased flash but those the
  // host writes itself on families that mark the header (address 0 and the
  // rewritten bytes, left erased); families that commit program address 0
  // on commit.
  bytes_.assign(kAddressSpace, 0xFF);
  std::copy_n(buffer.begin(), imageLength_, bytes_.begin());
  ranges_[rangeCount_++] = {0, imageLength_};
  std::uint32_t decidedEnd = imageLength_;
  if (profile.marksHeader && imageLength_ > 0) {
    bytes_[0] = 0xFF;
    const std::uint32_t rewrite = profile.rewriteOffset;
    for (std::uint32_t i = 0; i < HEADER_REWRITE_LENGTH; ++i) {
      if (rewrite + i < imageLength_) bytes_[rewrite + i] = 0xFF;
    }
    bytes_[0] &= profile.transferHeader;
    for (std::uint32_t i = 0; i < HEADER_REWRITE_LENGTH && rewrite + i < kAddressSpace; ++i) {
      bytes_[rewrite + i] &= buffer[rewrite + i];
    }
    for (std::uint32_t i = 0; i < profile.finalHeaderLength; ++i) {
      bytes_[i] &= profile.finalHeader[i];
    }
    if (rewrite + HEADER_REWRITE_LENGTH > imageLength_) {
      const std::uint32_t start = std::max(rewrite, imageLength_);
      const std::uint32_t end = std::min(rewrite + HEADER_REWRITE_LENGTH, kAddressSpace);
      if (start < end) {
        ranges_[rangeCount_++] = {start, end};
        decidedEnd = std::max(decidedEnd, end);
      }
    }
  }
  readEnd_ = (decidedEnd + kReadUnit - 1) / kReadUnit * kReadUnit;
  return true;
}

FlashDifference CompareFlash(const ExpectedFlash& expected, std::span<const std::uint8_t> readOut) {
  FlashDifference difference;
  for (const ExpectedFlash::Range& range : expected.ranges()) {
    for (std::uint32_t a = range.start; a < range.end; ++a) {
      const bool equal = a < readOut.size() && readOut[a] == expected.bytes()[a];
      if (equal) continue;
      if (difference.count == 0 || a < difference.firstAddress) difference.firstAddress = a;
      ++difference.count;
    }
  }
  return difference;
}

bool ReadFlashChecked(CCameraCore& core, std::uint8_t* buffer, std::uint8_t flashType,
                      std::uint32_t start, std::uint32_t end, ReadCheck check) {
  if (check == ReadCheck::Once || start >= end)
    return core.ReadFlash(buffer, flashType, start, end) == 1;
  const std::unique_ptr<std::uint8_t[]> again(new (std::nothrow) std::uint8_t[end]);
  if (again == nullptr) return false;
  std::uint32_t firstDifference = start;
  // The first pair of reads, and one more when they differ.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (core.ReadFlash(buffer, flashType, start, end) != 1) return false;
    if (core.ReadFlash(again.get(), flashType, start, end) != 1) return false;
    const std::uint8_t* mine =
        std::mismatch(buffer + start, buffer + end, again.get() + start).first;
    if (mine == buffer + end) return true;
    if (attempt == 0) firstDifference = static_cast<std::uint32_t>(mine - buffer);
  }
  char detail[48];
  std::snprintf(detail, sizeof detail, "the first difference at 0x%04X",
                static_cast<unsigned>(firstDifference));
  runNotes().note(FailureKind::ReadoutUnsteady, detail);
  return false;
}

FirmwareCheck CheckFirmware(CCameraCore& core, std::uint8_t readFlashType,
                            const ExpectedFlash& expected, ReadCheck readCheck,
                            std::uint32_t readTo) {
  FirmwareCheck check;
  if (expected.readEnd() == 0 || core.faulted()) return check;
  const std::uint32_t end = std::min<std::uint32_t>(std::max(expected.readEnd(), readTo),
                                                    static_cast<std::uint32_t>(kAddressSpace));
  const std::unique_ptr<std::uint8_t[]> readOut(new (std::nothrow) std::uint8_t[kAddressSpace]());
  if (readOut == nullptr) return check;
  if (!ReadFlashChecked(core, readOut.get(), readFlashType, 0, end, readCheck)) return check;
  check.difference =
      CompareFlash(expected, std::span<const std::uint8_t>(readOut.get(), kAddressSpace));
  check.state = check.difference.count == 0 ? FirmwareState::Current : FirmwareState::Differs;
  check.readOut.assign(readOut.get(), readOut.get() + end);
  return check;
}

const char* FirmwareStateName(FirmwareState state) {
  switch (state) {
    case FirmwareState::Current:
      return "current";
    case FirmwareState::Differs:
      return "differs";
    case FirmwareState::Unknown:
      break;
  }
  return "unknown";
}

}  // namespace qv
