#pragma once
// What a camera's flash holds compared with what an update by this tool
// leaves there, found by reading the flash: the firmware state of the
// inventory, of an update only where needed, and of the read-back after an
// update.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "camera/camera_device.h"
#include "flash/flash_tables.h"

namespace qv {

// The identification of a camera's flash part: the FlashType and the reply
// that decided it (the command of the last stage sent and its three bytes).
struct FlashIdentity {
  std::uint8_t flashType = FLASH_TYPE_UNDEFINED;
  std::uint8_t command = 0;  // 0x90, 0xAB or 0x9F; 0: nothing was asked
  std::array<std::uint8_t, 3> reply{};
};

// The identification stages as QueryFlashType sends them, keeping the reply.
FlashIdentity IdentifyFlash(CCameraDevice& device);

// The size in bytes of a known part (by its FlashType); 0 for any other code.
std::uint32_t FlashPartSize(std::uint8_t flashType);

// The end (exclusive) of the flash addresses an update of `imageLength`
// bytes writes on a camera of `family`: the image from address 0 and, on
// families whose host rewrites header bytes after the first block, those
// bytes at the family's offset (which may lie beyond the image). A part
// smaller than this would have its addresses wrap: the start of the flash
// would be overwritten.
std::uint32_t UpdateSpanEnd(ChipFamily family, std::uint32_t imageLength);

// The part an update assumes when identification answers nothing it knows
// (a terse update goes on with it).
inline constexpr std::uint8_t kAssumedUpdateFlashType = 122;  // GD25Q512

enum class FirmwareState : std::uint8_t {
  Current,  // the flash holds exactly what an update leaves
  Differs,  // it holds something else
  Unknown,  // the flash could not be identified or read
};

// The flash contents an update by the download route leaves behind, as far
// as the update decides them: the patched image over its own span, with the
// family's header byte(s) at address 0 and the bytes the host rewrites after
// the first block, each programmed over what was there before (a NOR program
// only clears bits).
class ExpectedFlash {
 public:
  // For a camera of `family` with the part `flashType` (as the update hands
  // it to the engine). False when the image does not fit the 64 KB the
  // read-out can address.
  bool Build(ChipFamily family, std::uint8_t flashType, std::span<const std::uint8_t> image);

  // The flash addresses decided by the update: [0, imageLength) and, where it
  // lies outside, the rewritten span.
  struct Range {
    std::uint32_t start;
    std::uint32_t end;  // exclusive
  };
  std::span<const Range> ranges() const { return {ranges_.data(), rangeCount_}; }
  // The end of the read-out that covers every range, a multiple of 4096.
  std::uint32_t readEnd() const { return readEnd_; }
  // The expected byte at each address (indexed by flash address, 64 KB).
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  // The patched image as the engine takes it (its computed checksum and
  // its length).
  std::uint8_t checksum() const { return checksum_; }
  std::uint32_t imageLength() const { return imageLength_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::array<Range, 2> ranges_{};
  std::size_t rangeCount_ = 0;
  std::uint32_t readEnd_ = 0;
  std::uint8_t checksum_ = 0;
  std::uint32_t imageLength_ = 0;
};

// How a read-out differs from what was expected.
struct FlashDifference {
  std::uint32_t count = 0;         // differing bytes
  std::uint32_t firstAddress = 0;  // of the first one (when count > 0)
};
FlashDifference CompareFlash(const ExpectedFlash& expected, std::span<const std::uint8_t> readOut);

// How a read-out is taken. No single read can tell a short reply on current
// Linux kernels: uvcvideo fills the rest of the block with zeros and answers
// success. Reading a span twice and comparing catches a reply cut short (or
// changed) now and then, not a camera that always answers short.
enum class ReadCheck : std::uint8_t {
  Once,   // one read, as the dump switch and the update's own reads take it
  Twice,  // read twice and compared; a difference gets one more try
};

// Reads the flash from `start` to `end` (exclusive) into `buffer`, indexed by
// flash address (it holds `end` bytes), with `flashType`'s command table.
// With ReadCheck::Twice, a span that reads differently twice is read twice
// again; differing again, the read-out fails and notes
// FailureKind::ReadoutUnsteady. True when the span was read.
bool ReadFlashChecked(CCameraCore& core, std::uint8_t* buffer, std::uint8_t flashType,
                      std::uint32_t start, std::uint32_t end, ReadCheck check);

// Reads the flash of the opened camera over the span an update decides
// (with `flashType`'s command table, as the dump does), or up to `readTo`
// when that is further, and compares it. Unknown when the read-out failed
// (nothing sent writes the flash or its status register).
struct FirmwareCheck {
  FirmwareState state = FirmwareState::Unknown;
  FlashDifference difference;
  std::vector<std::uint8_t> readOut;  // the flash from address 0 as read (empty: not read)
};
FirmwareCheck CheckFirmware(CCameraCore& core, std::uint8_t readFlashType,
                            const ExpectedFlash& expected, ReadCheck check,
                            std::uint32_t readTo = 0);

// "current", "differs", "unknown".
const char* FirmwareStateName(FirmwareState state);

}  // namespace qv
