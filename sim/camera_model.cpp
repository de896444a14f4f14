#include "sim/camera_model.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace qv::sim {
namespace {

constexpr std::uint64_t kEnginePollStepNs = 1'000'000;

std::uint32_t littleEndian32(const std::uint8_t* data, std::uint32_t length) {
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < 4 && i < length; ++i) value |= std::uint32_t{data[i]} << (8 * i);
  return value;
}

void appendHex(std::string& text, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text.push_back(' ');
  text.push_back(kDigits[byte >> 4]);
  text.push_back(kDigits[byte & 0x0F]);
}

bool isEngineIgnoringProtection(std::uint8_t family) { return family >= 106 && family <= 108; }

}  // namespace

std::uint8_t chipFamilyOf(std::uint8_t chipId) {
  switch (chipId >> 4) {
    case 0x6:
      return 102;
    case 0x9:
      return 103;
    case 0x8:
      return 104;
    case 0xA:
      return 105;
    case 0xB:
      return 106;
    case 0xC:
      return 107;
    case 0xD:
      return 108;
    default:
      return 100;
  }
}

// Sets up the flash for one request's engine work: families 106 to 108
// write regardless of the block-protect bits.
class CameraModel::EngineScope {
 public:
  explicit EngineScope(CameraModel& model) : model_(model) {
    model_.engineGaveUp_ = false;
    model_.flash_.setIgnoreProtection(isEngineIgnoringProtection(model_.family_));
  }
  ~EngineScope() { model_.flash_.setIgnoreProtection(false); }
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;

 private:
  CameraModel& model_;
};

CameraModel::CameraModel(std::size_t index, const CameraConfig& config,
                         std::vector<std::uint8_t> flashContents, SimClock& clock, TraceSink& trace)
    : index_(index),
      config_(config),
      clock_(clock),
      trace_(trace),
      flash_(config.part, std::move(flashContents), config.statusRegister, clock),
      family_(chipFamilyOf(config.chipId)),
      registers_(0x10000, 0x00),
      erasedSectors_(flash_.contents().size() / kFlashSectorSize, false) {
  table_.fill(0xFF);
  // On families 106 to 108 the chip's SPI master carries the host's reads
  // (the identification of family 108) but nothing that writes: their flash
  // is written by the chip's own engine only.
  flash_.setHostMayWrite(!isEngineIgnoringProtection(family_));
  flipsDone_.assign(config_.faults.size(), 0);
  registers_[kRegSpiCs] = static_cast<std::uint8_t>(2 - selectValue());  // flash released
  for (const FaultConfig& fault : config_.faults) {
    switch (fault.kind) {
      case FaultConfig::Kind::SpiBusyStuck:
        spiBusyStuck_ = true;
        break;
      case FaultConfig::Kind::WipStuck:
        flash_.setWipStuck(true);
        break;
      case FaultConfig::Kind::ChecksumXor:
        checksumXor_ ^= fault.xorValue;
        break;
      case FaultConfig::Kind::StuckCells:
        for (const std::uint32_t cell : fault.cells) flash_.addStuckCell(cell);
        break;
      default:
        break;
    }
  }
}

std::uint8_t CameraModel::selectValue() const { return (family_ == 102 || family_ == 103) ? 2 : 0; }

bool CameraModel::unplugged() const {
  for (const FaultConfig& fault : config_.faults) {
    if (fault.kind == FaultConfig::Kind::UnplugAfter && requestCount_ >= fault.request) return true;
  }
  return false;
}

bool CameraModel::knownSelector(std::uint32_t selector) const {
  if (selector < 32 && (config_.undeclaredControls >> selector & 1u) != 0) return false;
  switch (selector) {
    case 2:
    case 3:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 20:
      return true;
    case 22:  // flash-write packets: families 106 to 108 only
      return family_ >= 106 && family_ <= 108;
    case 23:  // flash ID: families 106 and 107 only
      return family_ == 106 || family_ == 107;
    default:
      return false;
  }
}

std::uint32_t CameraModel::controlLength(std::uint32_t selector) const {
  switch (selector) {
    case 2:
      return 2;
    case 10:
      return config_.dfuBlockLength;
    case 13:
    case 14:
      return 4;
    case 15:
      return config_.readBlockLength;
    case 22:
      return 64;
    case 23:
      return 3;
    default:
      return 1;
  }
}

HResult CameraModel::request(XuRequest kind, std::uint32_t selector, std::uint8_t* data,
                             std::uint32_t length, std::uint32_t& reported, HResult routeError) {
  if (observer_ != nullptr) observer_->requestStarted();
  const std::uint32_t number = ++requestCount_;
  const std::uint64_t bytes = kind == XuRequest::Len ? 2 : length;
  const std::uint64_t transferNs = kRequestFixedNs + bytes * kRequestPerBytePs / 1000;
  clock_.advance(transferNs);
  ++accounting_.requests;
  accounting_.bytes += bytes;
  accounting_.transferNs += transferNs;

  bool refused = false;
  HResult result = hr::Ok;
  for (const FaultConfig& fault : config_.faults) {
    if (fault.kind == FaultConfig::Kind::Request && number >= fault.request &&
        number - fault.request < fault.count) {
      refused = true;
      result = fault.result;
      break;
    }
  }
  if (!refused) {
    for (const FaultConfig& fault : config_.faults) {
      if (fault.kind == FaultConfig::Kind::UnplugAfter && number > fault.request) {
        refused = true;
        result = hr::DeviceNotConnected;
        break;
      }
    }
  }
  if (!refused && routeError != hr::Ok) {
    refused = true;
    result = routeError;
  }
  if (!refused && !knownSelector(selector)) {
    refused = true;
    result = hr::NotFound;
  }
  // Both cameras' drivers (Windows' in-box UVC driver, Linux's uvcvideo)
  // refuse a SET or GET whose buffer is not the control's length.
  if (!refused && kind != XuRequest::Len && length != controlLength(selector)) {
    refused = true;
    result = kLengthMismatch;
  }
  if (!refused) {
    const std::uint64_t before = clock_.nowNs();
    result = execute(kind, selector, data, length, reported);
    accounting_.engineNs += clock_.nowNs() - before;
    refused = failed(result);
  }
  // A stalled request: carried out, but answered only after the host's
  // driver gave up waiting, which the host sees as a timeout.
  for (const FaultConfig& fault : config_.faults) {
    if (fault.kind == FaultConfig::Kind::Stall && number == fault.request && !refused) {
      clock_.advance(kDriverTimeoutNs);
      refused = true;
      result = hr::SemTimeout;
    }
  }
  // Without a trace kept in memory or a trace file the line is not built.
  if (trace_.wanted()) traceRequest(kind, selector, data, length, reported, refused, result);
  if (observer_ != nullptr) observer_->requestFinished();
  return result;
}

void CameraModel::traceRequest(XuRequest kind, std::uint32_t selector, const std::uint8_t* data,
                               std::uint32_t length, std::uint32_t reported, bool refused,
                               HResult result) {
  std::string text = std::to_string(index_);
  switch (kind) {
    case XuRequest::Set:
      text += " SET ";
      text += std::to_string(selector);
      break;
    case XuRequest::Get:
      text += " GET ";
      text += std::to_string(selector);
      text += ' ';
      text += std::to_string(length);
      break;
    case XuRequest::Len:
      text += " LEN ";
      text += std::to_string(selector);
      break;
  }
  if (refused) {
    char code[16];
    std::snprintf(code, sizeof code, " !%08X",
                  static_cast<unsigned>(static_cast<std::uint32_t>(result)));
    text += code;
  } else if (kind == XuRequest::Len) {
    text += ' ';
    text += std::to_string(reported);
  } else if (data != nullptr) {
    text.reserve(text.size() + 3 * std::size_t{length});
    for (std::uint32_t i = 0; i < length; ++i) appendHex(text, data[i]);
  }
  trace_.line(std::move(text));
}

HResult CameraModel::execute(XuRequest kind, std::uint32_t selector, std::uint8_t* data,
                             std::uint32_t length, std::uint32_t& reported) {
  if (kind == XuRequest::Len) {
    reported = controlLength(selector);
    return hr::Ok;
  }
  EngineScope engine(*this);
  if (kind == XuRequest::Get) {
    std::fill_n(data, length, std::uint8_t{0});
    switch (selector) {
      case 2:
        if (length > 0) data[0] = static_cast<std::uint8_t>(regAddress_);
        if (length > 1) data[1] = static_cast<std::uint8_t>(regAddress_ >> 8);
        break;
      case 3:
        if (length > 0) data[0] = readRegister(regAddress_);
        break;
      case 7:
        if (length > 0) data[0] = paramIndex_;
        break;
      case 8:
        if (length > 0 && paramIndex_ < table_.size()) data[0] = table_[paramIndex_];
        break;
      case 9:
        if (length > 0) data[0] = dfuActive_ ? 1 : 0;
        break;
      case 11:
        if (length > 0) data[0] = static_cast<std::uint8_t>(dfuChecksum_ ^ checksumXor_);
        break;
      case 14:
        for (std::uint32_t i = 0; i < length && i < 4; ++i) {
          data[i] = static_cast<std::uint8_t>(flashAddress_ >> (8 * i));
        }
        break;
      case 15:
        engineRead(flashAddress_, data, length);
        // A reply changed on its way to the host (to the tool, a short
        // reply the driver filled up with zeros reads the same), each
        // time differently: the k-th changed read XORs the byte with k.
        for (std::size_t i = 0; i < config_.faults.size(); ++i) {
          const FaultConfig& fault = config_.faults[i];
          const std::uint32_t at = fault.address;
          if (fault.kind != FaultConfig::Kind::FlipRead || flipsDone_[i] >= fault.count ||
              at < flashAddress_ || at - flashAddress_ >= length)
            continue;
          ++flipsDone_[i];
          data[at - flashAddress_] ^= static_cast<std::uint8_t>((flipsDone_[i] - 1) % 255 + 1);
        }
        flashAddress_ += length;
        break;
      case 16:
        if (length > 0) data[0] = flashMode_;
        break;
      case 20:
        if (length > 0) data[0] = prepared_ ? 1 : 0;
        break;
      case 23: {
        std::uint8_t id[3];
        engineReadId(table_[13], id);
        std::copy_n(id, std::min<std::uint32_t>(length, 3), data);
        break;
      }
      default:
        break;
    }
    return hr::Ok;
  }

  // SET.
  if (length == 0) return hr::Ok;
  const std::uint8_t first = data[0];
  switch (selector) {
    case 2:
      regAddress_ = length >= 2 ? static_cast<std::uint16_t>(data[0] | (data[1] << 8))
                                : static_cast<std::uint16_t>((regAddress_ & 0xFF00) | data[0]);
      break;
    case 3:
      writeRegister(regAddress_, first);
      break;
    case 7:
      paramIndex_ = first;
      break;
    case 8:
      if (paramIndex_ >= 1 && paramIndex_ <= 13) table_[paramIndex_] = first;
      break;
    case 9:
      if (first == 1) {
        dfuActive_ = true;
        dfuOffset_ = 0;
        dfuChecksum_ = 0;
        dfuFirstBlockSeen_ = false;
        commitByteValid_ = false;
        std::fill(erasedSectors_.begin(), erasedSectors_.end(), false);
      } else if (first == 0) {
        dfuActive_ = false;
      }
      break;
    case 10:
      downloadBlock(data, length);
      break;
    case 12:
      if (first == 1 && dfuActive_ && commitByteValid_ && family_ >= 106 && family_ <= 108) {
        engineEraseOnce(0);
        engineProgram(0, &commitByte_, 1);
      }
      break;
    case 13:
      engineErase(littleEndian32(data, length));
      break;
    case 14:
      flashAddress_ = littleEndian32(data, length);
      break;
    case 15:
      // Bytes 32 to 63 of each 64-byte row k go to the address plus 64k.
      for (std::uint32_t row = 0; row < length / 64; ++row) {
        engineProgram(flashAddress_ + 64 * row, data + 64 * row + 32, 32);
      }
      break;
    case 16:
      flashMode_ = first;
      break;
    case 20:
      prepared_ = first == 1;
      break;
    case 22:
      if (family_ == 106) {
        const std::uint32_t count = std::min<std::uint32_t>({first, 63, length - 1});
        if (count > 0) engineProgram(flashAddress_, data + 1, count);
      } else {
        engineProgram(flashAddress_, data, std::min<std::uint32_t>(length, 64));
      }
      break;
    default:
      break;  // controls that are only read
  }
  return hr::Ok;
}

// Registers and the SPI master.

std::uint8_t CameraModel::peekRegister(std::uint16_t address) const {
  if (address == kRegChipId) return config_.chipId;
  return registers_[address];
}

void CameraModel::startSpiTransfer() {
  spiBusyUntilNs_ = clock_.nowNs() + kSpiByteNs;
  spiBusyReadsLeft_ = config_.spiBusyReads;
}

void CameraModel::writeRegister(std::uint16_t address, std::uint8_t value) {
  switch (address) {
    case kRegChipId:
      return;  // read-only
    case kRegSpiTx:
      registers_[address] = value;
      registers_[kRegSpiRx1] = flash_.transfer(value);
      startSpiTransfer();
      return;
    case kRegSpiCs:
      registers_[address] = value;
      if (value == selectValue()) {
        flash_.select();
      } else {
        flash_.release();
      }
      return;
    case kRegReset:
      registers_[address] = value;
      if (value == 0x01) resetChip();
      return;
    default:
      registers_[address] = value;
      return;
  }
}

std::uint8_t CameraModel::readRegister(std::uint16_t address) {
  switch (address) {
    case kRegChipId:
      return config_.chipId;
    case kRegSpiBusy:
      if (spiBusyStuck_ || spiBusyReadsLeft_ > 0 || clock_.nowNs() < spiBusyUntilNs_) {
        if (spiBusyReadsLeft_ > 0) --spiBusyReadsLeft_;
        ++accounting_.spiBusyAnswers;
        return 0x01;
      }
      return 0x00;
    case kRegSpiRx0:
      registers_[kRegSpiRx1] = flash_.transfer(0xFF);
      startSpiTransfer();
      return registers_[address];
    default:
      return registers_[address];
  }
}

void CameraModel::resetChip() {
  ++resetCount_;
  // A real camera drops off the bus on its chip reset and comes back on the
  // same port as a new device about a second later.
  if (config_.reenumerates != CameraConfig::Reenumerates::No) {
    ++generation_;
    backAtNs_ = config_.reenumerates == CameraConfig::Reenumerates::Yes
                    ? clock_.nowNs() + kReenumerationNs
                    : kNeverBack;
  }
  dfuActive_ = false;
  dfuOffset_ = 0;
  dfuChecksum_ = 0;
  dfuFirstBlockSeen_ = false;
  commitByteValid_ = false;
  prepared_ = false;
  table_.fill(0xFF);
  paramIndex_ = 0;
  flashMode_ = 0;
  flashAddress_ = 0;
  flash_.release();
  registers_[kRegSpiCs] = static_cast<std::uint8_t>(2 - selectValue());
}

// The flash engine.

void CameraModel::engineTransaction(std::span<const std::uint8_t> out, std::uint8_t* in,
                                    std::size_t inCount) {
  flash_.setEngineDriving(true);
  flash_.release();
  flash_.select();
  for (std::uint8_t byte : out) flash_.transfer(byte);
  for (std::size_t i = 0; i < inCount; ++i) in[i] = flash_.transfer(0xFF);
  flash_.release();
  flash_.setEngineDriving(false);
  clock_.advance((out.size() + inCount) * kSpiByteNs);
}

bool CameraModel::engineWaitIdle() {
  const std::uint64_t deadline = clock_.nowNs() + kEngineWaitLimitNs;
  for (;;) {
    const std::uint8_t readStatus[1] = {tableOp(3)};
    std::uint8_t status = 0xFF;
    engineTransaction(readStatus, &status, 1);
    if ((status & kStatusWip) == 0) return true;
    const std::uint64_t now = clock_.nowNs();
    if (now >= deadline) {
      engineGaveUp_ = true;
      return false;
    }
    std::uint64_t next = flash_.busyUntilNs();
    if (next <= now) next = now + kEnginePollStepNs;
    clock_.advanceTo(std::min(next, deadline));
  }
}

bool CameraModel::engineErase(std::uint32_t address) {
  if (engineGaveUp_) return false;
  const std::uint32_t a = address & ~static_cast<std::uint32_t>(kFlashSectorSize - 1);
  const std::uint8_t enable[1] = {tableOp(4)};
  engineTransaction(enable, nullptr, 0);
  const std::uint8_t erase[4] = {tableOp(6), static_cast<std::uint8_t>(a >> 16),
                                 static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
  engineTransaction(erase, nullptr, 0);
  return engineWaitIdle();
}

bool CameraModel::engineEraseOnce(std::uint32_t address) {
  const std::size_t sector = (address % flash_.contents().size()) / kFlashSectorSize;
  if (erasedSectors_[sector]) return true;
  erasedSectors_[sector] = true;
  return engineErase(address);
}

bool CameraModel::engineProgram(std::uint32_t address, const std::uint8_t* data,
                                std::size_t count) {
  // Opcode, three address bytes and at most one page of data.
  std::array<std::uint8_t, 4 + kFlashPageSize> command;
  std::size_t done = 0;
  while (done < count) {
    if (engineGaveUp_) return false;
    const std::uint32_t a = static_cast<std::uint32_t>((address + done) % flash_.contents().size());
    // Mode 1 (the auto-increment parts) programs one byte per command.
    const std::size_t room = kFlashPageSize - (a % kFlashPageSize);
    const std::size_t chunk = flashMode_ == 1 ? 1 : std::min(room, count - done);
    command[0] = tableOp(9);
    command[1] = static_cast<std::uint8_t>(a >> 16);
    command[2] = static_cast<std::uint8_t>(a >> 8);
    command[3] = static_cast<std::uint8_t>(a);
    std::copy_n(data + done, chunk, command.begin() + 4);
    const std::uint8_t enable[1] = {tableOp(4)};
    engineTransaction(enable, nullptr, 0);
    engineTransaction(std::span<const std::uint8_t>(command.data(), 4 + chunk), nullptr, 0);
    if (!engineWaitIdle()) return false;
    done += chunk;
  }
  return true;
}

void CameraModel::engineRead(std::uint32_t address, std::uint8_t* out, std::size_t count) {
  const std::uint8_t read[4] = {tableOp(1), static_cast<std::uint8_t>(address >> 16),
                                static_cast<std::uint8_t>(address >> 8),
                                static_cast<std::uint8_t>(address)};
  engineTransaction(read, out, count);
}

void CameraModel::engineReadId(std::uint8_t command, std::uint8_t* out) {
  // Read JEDEC ID answers at once; the others take three address or dummy
  // bytes first.
  const std::uint8_t withDummies[4] = {command, 0x00, 0x00, 0x00};
  const std::size_t length = command == 0x9F ? 1 : 4;
  engineTransaction(std::span<const std::uint8_t>(withDummies, length), out, 3);
}

std::uint32_t CameraModel::headerRewriteOffset() const {
  switch (family_) {
    case 102:
    case 103:
      return 0x8008;
    case 104:
      return 0xB70A;
    case 105:
      return 0x678A;
    default:
      return 0xF000;
  }
}

bool CameraModel::downloadSkips(std::uint32_t address) const {
  if (address == 0) return true;
  if (family_ >= 106 && family_ <= 108) return false;
  const std::uint32_t offset = headerRewriteOffset();
  return address >= offset && address < offset + 6;
}

void CameraModel::downloadBlock(const std::uint8_t* data, std::uint32_t length) {
  if (!dfuActive_) return;
  for (std::uint32_t i = 0; i < length; ++i) dfuChecksum_ ^= data[i];
  const std::uint32_t start = dfuOffset_;
  dfuOffset_ += length;
  if (family_ == 105 && !prepared_) return;  // family 105 needs the prepare request

  if (!dfuFirstBlockSeen_) {
    dfuFirstBlockSeen_ = true;
    if (start == 0 && isEngineIgnoringProtection(family_)) {
      commitByte_ = data[0];
      commitByteValid_ = true;
    }
    // The host writes the header byte at address 0 (and, on families 102 to
    // 105, the six bytes at the header-rewrite offset) right after this
    // block: their sectors are erased now, before the host writes them.
    engineEraseOnce(0);
    if (!isEngineIgnoringProtection(family_)) engineEraseOnce(headerRewriteOffset());
  }

  const std::size_t size = flash_.contents().size();
  std::uint32_t i = 0;
  while (i < length && !engineGaveUp_) {
    const std::uint32_t address = static_cast<std::uint32_t>((std::uint64_t{start} + i) % size);
    if (downloadSkips(address)) {
      ++i;
      continue;
    }
    // A run of programmed bytes within one page.
    std::uint32_t run = 1;
    while (i + run < length) {
      const std::uint32_t next =
          static_cast<std::uint32_t>((std::uint64_t{start} + i + run) % size);
      if (next % kFlashPageSize == 0 || downloadSkips(next)) break;
      ++run;
    }
    engineEraseOnce(address);
    engineProgram(address, data + i, run);
    i += run;
  }
}

}  // namespace qv::sim
