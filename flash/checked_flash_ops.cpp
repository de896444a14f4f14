// Serial-flash sequences that report every request (see the header).
#include "flash/checked_flash_ops.h"

#include <cstring>

namespace qv {

namespace {

std::uint8_t csAssert() { return static_cast<std::uint8_t>(g_spiCsAssertValue); }
std::uint8_t csRelease() { return static_cast<std::uint8_t>(2 - g_spiCsAssertValue); }

// Collects the results of one sequence: any failed request, any wait that
// gave up, or any failure the channel counted meanwhile spoils it.
class Sequence {
 public:
  explicit Sequence(CCameraCore& core)
      : core_(core),
        failuresBefore_(core.channel() != nullptr ? core.channel()->failedRequests() : 0) {}

  void write(std::uint16_t address, std::uint8_t value) {
    if (failed(core_.WriteRegister(address, value))) ok_ = false;
  }
  // One SPI byte: the transmit write and the idle wait; false when the wait
  // gave up (the sequence then ends).
  bool send(std::uint8_t byte) {
    write(REG_SPI_TX, byte);
    if (core_.WaitSpiIdle()) return true;
    ok_ = false;
    return false;
  }
  void fail() { ok_ = false; }

  bool clean() const {
    const CXuChannel* channel = core_.channel();
    return ok_ && !core_.faulted() && channel != nullptr &&
           channel->failedRequests() == failuresBefore_;
  }

 private:
  CCameraCore& core_;
  std::uint32_t failuresBefore_;
  bool ok_ = true;
};

// Write Enable (0x06) or Enable Write Status Register (0x50): select, the
// opcode, release.
void simpleCommand(CCameraCore& core, Sequence& sequence, std::uint8_t opcode) {
  if (core.faulted()) {
    sequence.fail();
    return;
  }
  sequence.write(REG_SPI_CTRL, 0x80);
  sequence.write(REG_SPI_CS, csAssert());
  if (!sequence.send(opcode)) return;
  sequence.write(REG_SPI_CS, csRelease());
}

}  // namespace

bool WriteFlashStatusChecked(CCameraCore& core, std::uint8_t value, std::int32_t useEwsr) {
  if (core.channel() == nullptr || core.faulted()) return false;
  Sequence sequence(core);
  // FlashReadStatus takes only a status it could read; after a wait that
  // gave up it returns a value with write-in-progress set and the core is
  // faulted.
  const std::uint8_t current = core.FlashReadStatus();
  if (core.faulted()) return false;
  if (current == value) return sequence.clean();
  simpleCommand(core, sequence,
                useEwsr == 1 ? SPI_FLASH_ENABLE_WRITE_STATUS : SPI_FLASH_WRITE_ENABLE);
  if (core.faulted()) return false;
  sequence.write(REG_SPI_CTRL, 0x80);
  sequence.write(REG_SPI_CS, csAssert());
  if (!sequence.send(SPI_FLASH_WRITE_STATUS)) return false;
  if (!sequence.send(value)) return false;
  sequence.write(REG_SPI_CS, csRelease());
  (void)core.FlashReadStatus();  // waits until the status write has finished
  return sequence.clean();
}

bool WriteFlashPageChecked(CCameraCore& core, const PageProgramRequest& request) {
  if (core.channel() == nullptr) return false;
  if (request.length > kPageProgramMaxData || core.faulted()) return false;
  Sequence sequence(core);
  if (failed(core.WriteRegister(REG_SPI_CTRL, 0x80))) return false;
  simpleCommand(core, sequence, SPI_FLASH_WRITE_ENABLE);
  if (core.faulted()) return false;
  if (failed(core.WriteRegister(REG_SPI_CS, csAssert()))) return false;
  auto send = [&core](std::uint8_t byte) {
    return succeeded(core.WriteRegister(REG_SPI_TX, byte)) && core.WaitSpiIdle();
  };
  if (!send(SPI_FLASH_PAGE_PROGRAM)) return false;
  for (const std::uint8_t addressByte : request.address) {
    if (!send(addressByte)) return false;
  }
  for (std::uint16_t i = 0; i < request.length; ++i) {
    if (!send(request.data[i])) return false;
  }
  if (failed(core.WriteRegister(REG_SPI_CS, csRelease()))) return false;
  (void)core.FlashReadStatus();  // waits until programming has finished
  if (core.faulted()) return false;
  core.SendSpiIdleByte();
  if (core.faulted()) return false;
  if (failed(core.WriteRegister(REG_SPI_CTRL, 0x00))) return false;
  return sequence.clean();
}

bool WriteFlashBytesChecked(CCameraCore& core, std::uint32_t address, std::uint32_t length,
                            const std::uint8_t* data) {
  CXuChannel* channel = core.channel();
  if (channel == nullptr) return false;
  const ChipFamily family = channel->family();
  if (family >= 106 && family <= 108) {
    // The extension-unit packets: both requests count.
    const std::uint32_t before = channel->failedRequests();
    const HResult result = core.XuWriteFlashBytes(address, length, data);
    return succeeded(result) && channel->failedRequests() == before;
  }
  if (length > kPageProgramMaxData || (length > 0 && data == nullptr)) return false;
  PageProgramRequest request{};
  // Only the first 64 KB are reachable: bits above 15 are dropped.
  request.address[0] = 0x00;
  request.address[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  request.address[2] = static_cast<std::uint8_t>(address & 0xFF);
  request.length = static_cast<std::uint16_t>(length);
  if (length > 0) std::memcpy(request.data, data, length);
  return WriteFlashPageChecked(core, request);
}

}  // namespace qv
