#include "sim/nor_flash.h"

#include <algorithm>
#include <utility>

namespace qv::sim {

NorFlash::NorFlash(const FlashPart& part, std::vector<std::uint8_t> contents, std::uint8_t status,
                   SimClock& clock)
    : part_(part),
      commands_(commandSetOfClass(part.cmdClass)),
      contents_(std::move(contents)),
      clock_(clock),
      statusBits_(static_cast<std::uint8_t>(status & 0xFC)),
      wel_((status & kStatusWel) != 0) {}

bool NorFlash::hasOpcode(std::uint8_t opcode) const {
  if (opcode == op::ReadMfrDeviceId) return part_.rems.present;
  if (opcode == op::ReadSignature) return part_.res.present;
  if (opcode == op::ReadJedecId) return part_.rdid.present;
  if (opcode == 0xFF) return false;
  return std::find(commands_.begin(), commands_.end(), opcode) != commands_.end();
}

namespace {
// The opcodes that change the array, the status register or the latch that
// allows either.
bool changesFlash(std::uint8_t opcode) {
  switch (opcode) {
    case op::WriteStatus:
    case op::PageProgram:
    case op::WriteEnable:
    case op::SectorErase:
    case op::EnableWriteStatus:
    case op::BlockErase32:
    case op::ChipErase60:
    case op::AutoIncrementProgram:
    case op::ChipEraseC7:
    case op::SectorEraseD7:
    case op::BlockErase64:
      return true;
    default:
      return false;
  }
}
}  // namespace

bool NorFlash::busy() const { return stuckBusy_ || clock_.nowNs() < busyUntilNs_; }

std::uint8_t NorFlash::status() const {
  std::uint8_t s = statusBits_;
  if (wel_) s |= kStatusWel;
  if (busy()) s |= kStatusWip;
  return s;
}

bool NorFlash::protectedNow() const {
  return !ignoreProtection_ && (statusBits_ & kStatusBlockProtect) != 0;
}

std::uint32_t NorFlash::wrap(std::uint64_t address) const {
  return static_cast<std::uint32_t>(address % contents_.size());
}

void NorFlash::startBusy(BusyKind kind, std::uint32_t microseconds) {
  auto& counts = engineDriving_ ? accounting_.engineBusy : accounting_.hostBusy;
  ++counts[static_cast<std::size_t>(kind)];
  busyUntilNs_ = clock_.nowNs() + std::uint64_t{microseconds} * 1000;
  if (wipStuck_) stuckBusy_ = true;
}

void NorFlash::select() {
  if (selected_) return;
  selected_ = true;
  ignored_ = false;
  count_ = 0;
  opcode_ = 0;
  address_ = 0;
  dataCount_ = 0;
  pageUsed_.fill(false);
}

void NorFlash::release() {
  if (!selected_) return;
  selected_ = false;
  if (!ignored_ && count_ > 0) executeOnRelease();
}

std::uint8_t NorFlash::idReply(const IdReply& r, std::size_t index) const {
  return r.bytes[index % 3];
}

std::uint8_t NorFlash::transfer(std::uint8_t mosi) {
  if (!selected_) return 0xFF;
  const std::size_t index = count_++;
  if (index == 0) {
    opcode_ = mosi;
    // A busy part answers nothing but Read Status Register; a part ignores
    // opcodes it does not have.
    if ((busy() && mosi != op::ReadStatus) || !hasOpcode(mosi)) ignored_ = true;
    if (!engineDriving_ && !hostMayWrite_ && changesFlash(mosi)) ignored_ = true;
    return 0xFF;
  }
  if (ignored_) return 0xFF;
  const std::size_t n = index - 1;  // bytes after the opcode
  // Address bytes arrive most significant first.
  auto takeAddress = [&](std::size_t) { address_ = (address_ << 8) | mosi; };
  switch (opcode_) {
    case op::ReadStatus: {
      const std::uint8_t value = status();
      if (!engineDriving_ && (value & kStatusWip) != 0) ++accounting_.hostBusyStatusReads;
      return value;
    }
    case op::Read:
      if (n < 3) {
        takeAddress(n);
        return 0xFF;
      }
      return contents_[wrap(std::uint64_t{address_} + (n - 3))];
    case op::FastRead:
      if (n < 3) {
        takeAddress(n);
        return 0xFF;
      }
      if (n == 3) return 0xFF;  // dummy byte
      return contents_[wrap(std::uint64_t{address_} + (n - 4))];
    case op::ReadMfrDeviceId:
      return n < 3 ? 0xFF : idReply(part_.rems, n - 3);
    case op::ReadSignature:
      return n < 3 ? 0xFF : idReply(part_.res, n - 3);
    case op::ReadJedecId:
      return idReply(part_.rdid, n);
    case op::PageProgram:
      if (n < 3) {
        takeAddress(n);
        return 0xFF;
      } else {
        if (part_.byteProgram && dataCount_ > 0) return 0xFF;
        // The page buffer: the address wraps within the 256-byte page.
        const std::size_t offset = (address_ + (n - 3)) % kFlashPageSize;
        page_[offset] = mosi;
        pageUsed_[offset] = true;
        ++dataCount_;
      }
      return 0xFF;
    case op::SectorErase:
    case op::SectorEraseD7:
    case op::BlockErase32:
    case op::BlockErase64:
      if (n < 3) takeAddress(n);
      return 0xFF;
    case op::WriteStatus:
      if (n == 0) statusValue_ = mosi;
      ++dataCount_;
      return 0xFF;
    case op::AutoIncrementProgram:
      // First cycle: address then one byte; later cycles: one byte each.
      if (!aaiActive_ && n < 3) {
        takeAddress(n);
        return 0xFF;
      }
      if (dataCount_ == 0) statusValue_ = mosi;
      ++dataCount_;
      return 0xFF;
    default:
      return 0xFF;
  }
}

void NorFlash::executeOnRelease() {
  const std::size_t n = count_ - 1;
  switch (opcode_) {
    case op::WriteEnable:
      wel_ = true;
      break;
    case op::WriteDisable:
      wel_ = false;
      aaiActive_ = false;
      break;
    case op::EnableWriteStatus:
      ewsr_ = true;
      break;
    case op::WriteStatus:
      if (dataCount_ > 0 && (wel_ || ewsr_)) {
        statusBits_ = static_cast<std::uint8_t>(statusValue_ & 0xFC);
        wel_ = false;
        ewsr_ = false;
        startBusy(BusyKind::StatusWrite, part_.times.statusWrite);
      }
      break;
    case op::PageProgram:
      if (n >= 3 && dataCount_ > 0 && wel_ && !protectedNow()) programPage();
      break;
    case op::SectorErase:
    case op::SectorEraseD7:
      if (n >= 3 && wel_ && !protectedNow()) {
        erase(address_, kFlashSectorSize);
        startBusy(BusyKind::SectorErase, part_.times.sectorErase);
      }
      break;
    case op::BlockErase32:
      if (n >= 3 && wel_ && !protectedNow()) {
        erase(address_, 32 * 1024);
        startBusy(BusyKind::BlockErase, part_.times.blockErase);
      }
      break;
    case op::BlockErase64:
      if (n >= 3 && wel_ && !protectedNow()) {
        erase(address_, 64 * 1024);
        startBusy(BusyKind::BlockErase, part_.times.blockErase);
      }
      break;
    case op::ChipEraseC7:
    case op::ChipErase60:
      if (wel_ && !protectedNow()) {
        std::fill(contents_.begin(), contents_.end(), std::uint8_t{0xFF});
        wel_ = false;
        startBusy(BusyKind::ChipErase, part_.times.chipErase);
      }
      break;
    case op::AutoIncrementProgram:
      if (dataCount_ > 0 && wel_ && !protectedNow()) {
        if (!aaiActive_) {
          if (n < 4) break;
          aaiActive_ = true;
          aaiAddress_ = wrap(address_);
        }
        programCell(aaiAddress_, statusValue_);
        aaiAddress_ = wrap(std::uint64_t{aaiAddress_} + 1);
        // The latch stays set until Write Disable ends the sequence.
        startBusy(BusyKind::PageProgram, part_.times.pageProgram);
      }
      break;
    default:
      break;
  }
}

void NorFlash::programPage() {
  const std::uint32_t base = wrap(address_) & ~static_cast<std::uint32_t>(kFlashPageSize - 1);
  for (std::size_t i = 0; i < kFlashPageSize; ++i) {
    if (!pageUsed_[i]) continue;
    programCell(wrap(std::uint64_t{base} + i), page_[i]);
  }
  wel_ = false;
  startBusy(BusyKind::PageProgram, part_.times.pageProgram);
}

void NorFlash::erase(std::uint32_t address, std::uint32_t size) {
  const std::uint32_t base = (wrap(address) / size) * size;
  const std::uint32_t count =
      std::min<std::uint32_t>(size, static_cast<std::uint32_t>(contents_.size()) - base);
  std::fill_n(contents_.begin() + base, count, std::uint8_t{0xFF});
  wel_ = false;
}

void NorFlash::addStuckCell(std::uint32_t address) {
  if (stuck_.empty()) stuck_.assign(contents_.size(), false);
  stuck_[wrap(address)] = true;
}

void NorFlash::programCell(std::uint32_t address, std::uint8_t data) {
  if (!stuck_.empty() && stuck_[address]) return;
  std::uint8_t& cell = contents_[address];
  cell = static_cast<std::uint8_t>(cell & data);  // programming only clears bits
}

}  // namespace qv::sim
