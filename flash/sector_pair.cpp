// The sector-pair route: the host programs the flash in 4 KB units through
// the extension-unit flash controls and verifies by reading it back.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "camera/camera_device.h"
#include "flash/checked_flash_ops.h"
#include "flash/download_engine.h"
#include "platform/failure_notes.h"

namespace qv {

namespace {

void putFlashAddress(std::uint8_t* bytes, std::uint32_t address) {
  bytes[0] = static_cast<std::uint8_t>(address & 0xFF);
  bytes[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  bytes[2] = 0;
  bytes[3] = 0;
}

// Stores a state (and the progress with it) when the caller asked for it,
// and tells the core's update observer.
void reportState(CCameraCore& core, std::uint8_t* state, std::uint8_t* progress,
                 std::uint8_t stateValue, std::uint8_t progressValue) {
  core.NotifyUpdateStatus(stateValue, progressValue);
  if (state == nullptr) return;
  *state = stateValue;
  if (progress != nullptr) *progress = progressValue;
}

// One unit as two halves. Row k of the unit: its first 32 bytes go to bytes
// 32 to 63 of row k of the first half, its last 32 bytes to the same place
// in the second half. Every request is sent whatever the one before it
// returned; `clean` is cleared when any of them failed.
std::int32_t programSectorPair(CCameraCore& core, const std::uint8_t* source, std::uint32_t address,
                               bool& clean) {
  CXuChannel* channel = core.channel();
  if (channel == nullptr) return 0;
  std::array<std::uint8_t, SECTOR_UNIT_SIZE> first;
  std::array<std::uint8_t, SECTOR_UNIT_SIZE> second;
  first.fill(0xFF);
  second.fill(0xFF);
  for (std::uint32_t row = 0; row < SECTOR_UNIT_SIZE / SECTOR_ROW_SIZE; ++row) {
    const std::uint32_t at = row * SECTOR_ROW_SIZE;
    std::memcpy(&first[at + SECTOR_HALF_ROW_DATA], source + at, SECTOR_HALF_ROW_DATA);
    std::memcpy(&second[at + SECTOR_HALF_ROW_DATA], source + at + SECTOR_HALF_ROW_DATA,
                SECTOR_HALF_ROW_DATA);
  }

  auto check = [&clean](HResult result) {
    if (failed(result)) clean = false;
  };
  std::uint8_t addressBytes[4];
  putFlashAddress(addressBytes, address);
  check(channel->SetControl(XU_SECTOR_ADDR, 4, addressBytes));
  std::uint32_t blockLength = 0;
  check(channel->GetControlLength(XU_FLASH_DATA, &blockLength));
  check(channel->SetControl(XU_FLASH_ADDR, 4, addressBytes));
  check(channel->SetControl(XU_FLASH_DATA, SECTOR_UNIT_SIZE, first.data()));
  putFlashAddress(addressBytes, address + SECTOR_HALF_ROW_DATA);
  check(channel->SetControl(XU_FLASH_ADDR, 4, addressBytes));
  check(channel->SetControl(XU_FLASH_DATA, SECTOR_UNIT_SIZE, second.data()));
  return 1;
}

// The units from `start` to `end` (exclusive), reporting state 21 and the
// progress before each.
std::int32_t programSectorRange(CCameraCore& core, const std::uint8_t* source, std::uint32_t start,
                                std::uint32_t end, std::uint8_t* state, std::uint8_t* progress,
                                bool& clean) {
  // Units are addressed with 16 bits: a range past the address space is
  // refused rather than wrapped.
  if (end > SECTOR_ADDRESS_SPACE) return 0;
  std::uint32_t unitsDone = 0;
  for (std::uint32_t address = start; address < end; address += SECTOR_UNIT_SIZE) {
    reportState(core, state, progress, UPD_TRANSFER, SectorProgress(unitsDone, end - start));
    if (programSectorPair(core, source + address, address, clean) == 0) return 0;
    ++unitsDone;
  }
  return 1;
}

}  // namespace

std::int32_t CCameraCore::ProgramBySectorPairs(std::uint8_t* image, std::uint32_t length,
                                               std::uint8_t* computedChecksum,
                                               std::uint8_t* deviceChecksum, std::uint8_t* state,
                                               std::uint8_t* progress) {
  // Refused before anything is sent: no image, no channel, or an image the
  // 64 KB address space of this route cannot hold.
  if (image == nullptr || channel_ == nullptr || length > SECTOR_ADDRESS_SPACE) {
    reportState(*this, state, progress, UPD_FAIL, PROGRESS_DONE);
    return 0;
  }
  const std::unique_ptr<std::uint8_t[]> staging(new (std::nothrow)
                                                    std::uint8_t[SECTOR_ADDRESS_SPACE]());
  if (staging == nullptr) {
    reportState(*this, state, progress, UPD_FAIL, PROGRESS_DONE);
    return 0;
  }

  std::uint8_t checksum = 0;
  for (std::uint32_t i = 0; i < length; ++i) checksum ^= image[i];
  if (computedChecksum != nullptr) *computedChecksum = checksum;

  // Every request from here to the final status write must succeed and no
  // wait may give up for the route to report success.
  bool clean = true;
  bool tableLoaded = false;
  std::uint32_t blockLength = SECTOR_UNIT_SIZE;
  (void)LoadFlashCommandTable(0, tableLoaded, &blockLength);
  if (!tableLoaded) clean = false;

  // Each half goes out as one 4096-byte SET of the flash-data control, and
  // a camera takes that SET only with the control's own length: uvcvideo
  // fixes the length at the control's first use and refuses any other
  // before the camera sees it, Kernel Streaming checks the buffer against it
  // too. Every unit's erase would still go out and its data never: the
  // camera would lose its firmware. The table load changes nothing in the
  // flash, so the route stops here, before the first request that does,
  // and the chip needs no reset.
  if (blockLength != SECTOR_UNIT_SIZE) {
    char detail[96];
    std::snprintf(detail, sizeof detail,
                  "the flash-data control carries %u-byte blocks; this update writes %u-byte "
                  "blocks",
                  static_cast<unsigned>(blockLength), static_cast<unsigned>(SECTOR_UNIT_SIZE));
    runNotes().note(FailureKind::BlockSizeMismatch, detail);
    if (deviceChecksum != nullptr) *deviceChecksum = static_cast<std::uint8_t>(~checksum);
    reportState(*this, state, progress, UPD_FAIL, PROGRESS_DONE);
    return 0;
  }

  // Lift every protection bit before programming.
  if (!ClearFlashStatusChecked(*this)) clean = false;

  std::memcpy(staging.get(), image, length);
  staging[0] = SECTOR_TRANSFER_HEADER;
  const std::uint32_t programmed =
      (length + SECTOR_UNIT_SIZE - 1) / SECTOR_UNIT_SIZE * SECTOR_UNIT_SIZE;

  bool written = false;
  if (programSectorRange(*this, staging.get(), 0, programmed, state, progress, clean) == 1) {
    reportState(*this, state, progress, UPD_VERIFY, PROGRESS_VERIFY);
    written = VerifyFlash(staging.get(), 0, length) == 1;
  }

  if (written) {
    image[0] = SECTOR_FINAL_HEADER;
    PageProgramRequest header{};
    header.data[0] = SECTOR_FINAL_HEADER;
    header.length = 1;
    if (!WriteFlashPageChecked(*this, header)) clean = false;
    if (!WriteFlashStatusChecked(*this, FLASH_STATUS_PROTECTED, 0)) clean = false;
    // The reset ends the route on both outcomes; the flash is settled before
    // it, so its result does not decide the outcome.
    if (faulted()) clean = false;
    (void)ResetChip();
    if (clean) {
      if (deviceChecksum != nullptr) *deviceChecksum = checksum;
      reportState(*this, state, progress, UPD_DONE, PROGRESS_DONE);
      return 1;
    }
  } else {
    (void)ResetChip();
  }
  if (deviceChecksum != nullptr) *deviceChecksum = static_cast<std::uint8_t>(~checksum);
  reportState(*this, state, progress, UPD_FAIL, PROGRESS_DONE);
  return 0;
}

std::int32_t CCameraCore::ProgramSectorRange(const std::uint8_t* source, std::uint32_t start,
                                             std::uint32_t end, std::uint8_t* state,
                                             std::uint8_t* progress) {
  bool clean = true;
  return programSectorRange(*this, source, start, end, state, progress, clean);
}

std::int32_t CCameraCore::ProgramSectorPair(const std::uint8_t* source, std::uint32_t address) {
  bool clean = true;
  return programSectorPair(*this, source, address, clean);
}

std::int32_t CCameraCore::VerifyFlash(const std::uint8_t* expected, std::uint8_t flashType,
                                      std::uint32_t n) {
  if (expected == nullptr) return 0;
  const std::unique_ptr<std::uint8_t[]> readBack(new (std::nothrow) std::uint8_t[READ_BACK_SIZE]());
  if (readBack == nullptr) return 0;
  VerifyRegion region = kVerifyRegions[3];
  std::uint32_t compareStart = 0;
  std::uint32_t compareEnd = std::min(n, SECTOR_ADDRESS_SPACE);
  if (n >= 1 && n <= kVerifyRegions.size()) {
    region = kVerifyRegions[n - 1];
    compareStart = region.start;
    compareEnd = region.end;
  }
  // A read-out that could not read its region is a failed verification.
  if (ReadFlash(readBack.get(), flashType, region.start, region.end) != 1) return 0;
  return std::equal(expected + compareStart, expected + compareEnd, readBack.get() + compareStart)
             ? 1
             : 0;
}

}  // namespace qv
