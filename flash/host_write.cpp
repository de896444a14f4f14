// The host-driven sector writes of a restore (see the header).
#include "flash/host_write.h"

#include <algorithm>
#include <cstring>

#include "channel/chip_registers.h"
#include "flash/checked_flash_ops.h"
#include "flash/download_engine.h"
#include "flash/flash_tables.h"

namespace qv {

namespace {

constexpr std::uint32_t kSectorSize = 4096;
// Entry 6 of a command table: the 4 KB sector erase (0x20, or 0xD7 on class 2).
constexpr std::size_t kSectorEraseEntry = 5;

bool sectorDiffers(std::span<const std::uint8_t> wanted, std::span<const std::uint8_t> current,
                   std::uint32_t address) {
  return std::memcmp(wanted.data() + address, current.data() + address, kSectorSize) != 0;
}

bool allErased(const std::uint8_t* bytes, std::uint32_t count) {
  return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b == 0xFF; });
}

}  // namespace

std::uint32_t DifferingSectors(std::span<const std::uint8_t> wanted,
                               std::span<const std::uint8_t> current) {
  std::uint32_t count = 0;
  for (std::uint32_t a = 0; a + kSectorSize <= wanted.size(); a += kSectorSize)
    count += sectorDiffers(wanted, current, a) ? 1 : 0;
  return count;
}

HostWriteResult WriteSectorsByHost(CCameraCore& core, std::uint8_t flashType,
                                   std::span<const std::uint8_t> wanted,
                                   std::span<const std::uint8_t> current) {
  HostWriteResult result;
  if (current.size() != wanted.size() || wanted.size() % kSectorSize != 0) return result;
  const std::uint32_t total = DifferingSectors(wanted, current);
  if (total == 0) {
    result.written = true;
    return result;
  }
  const std::uint8_t eraseOpcode =
      kFlashCommandTables[CommandClassOf(flashType)][kSectorEraseEntry];
  // The byte-program part takes one data byte per program and drops the rest.
  const std::uint32_t programBytes = FlashClassOf(flashType) == 1 ? 1 : kHostProgramBytes;
  // What UnprotectFlash and ProtectFlash send, judged request by request.
  const std::int32_t useEwsr = flashType == 1 ? 1 : 0;

  bool ok = WriteFlashStatusChecked(core, FLASH_STATUS_UNPROTECTED, useEwsr);
  std::uint32_t done = 0;
  for (std::uint32_t sector = 0; ok && sector < wanted.size(); sector += kSectorSize) {
    if (!sectorDiffers(wanted, current, sector)) continue;
    ok = core.FlashEraseSector(eraseOpcode, sector);
    if (ok) ++result.sectorsWritten;
    for (std::uint32_t a = sector; ok && a < sector + kSectorSize; a += programBytes) {
      // A sector takes seconds here: the progress moves with every program
      // (the bar redraws only a changed percentage).
      const std::uint64_t bytesDone = std::uint64_t{done} * kSectorSize + (a - sector);
      core.NotifyUpdateStatus(
          UPD_TRANSFER, static_cast<std::uint8_t>(5 + bytesDone * 90 / (total * kSectorSize)));
      // An erased sector already holds 0xFF: such a run needs no program.
      if (allErased(wanted.data() + a, programBytes)) continue;
      PageProgramRequest request{};
      request.address[0] = static_cast<std::uint8_t>(a >> 16);
      request.address[1] = static_cast<std::uint8_t>(a >> 8);
      request.address[2] = static_cast<std::uint8_t>(a);
      std::memcpy(request.data, wanted.data() + a, programBytes);
      request.length = static_cast<std::uint16_t>(programBytes);
      ok = WriteFlashPageChecked(core, request);
    }
    done += 1;
  }
  // Protected again on every path; a flash left unprotected is told as a
  // failure even when every sector was written.
  const bool protectedAgain = WriteFlashStatusChecked(core, FLASH_STATUS_PROTECTED, useEwsr);
  result.written = ok && protectedAgain;
  return result;
}

}  // namespace qv
