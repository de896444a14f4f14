// Serial-flash sequences that report every request (see the header).
#include "flash/checked_flash_ops.h"

#include <cstring>

namespace qv {

namespace {

// WriteRegister, the same two requests, with the address request examined
// too: a register write whose address request failed lands in whichever
// register was addressed before. The result is the data request's status,
// as WriteRegister returns it; `addressFailed` is set when the address
// request failed.
HResult writeRegister(CCameraCore& core, std::uint16_t address, std::uint8_t value,
                      bool& addressFailed) {
  CXuChannel* channel = core.channel();
  if (channel == nullptr) return hr::Pointer;
  const std::uint8_t addressBytes[2] = {static_cast<std::uint8_t>(address & 0xFF),
                                        static_cast<std::uint8_t>(address >> 8)};
  if (failed(channel->SetControl(XU_REG_ADDR, 2, addressBytes))) addressFailed = true;
  return channel->SetControl(XU_REG_DATA, 1, &value);
}

std::uint8_t csAssert() { return static_cast<std::uint8_t>(g_spiCsAssertValue); }
std::uint8_t csRelease() { return static_cast<std::uint8_t>(2 - g_spiCsAssertValue); }

// Collects the results of one sequence: any failed request or any wait
// that gave up spoils it.
class Sequence {
 public:
  explicit Sequence(CCameraCore& core) : core_(core) {}

  // A register write; its data request's status (the address request
  // counts towards the sequence only).
  HResult write(std::uint16_t address, std::uint8_t value) {
    bool addressFailed = false;
    const HResult result = writeRegister(core_, address, value, addressFailed);
    if (addressFailed || failed(result)) ok_ = false;
    return result;
  }
  // One SPI byte: the transmit write and the idle wait; false when the wait
  // gave up (the sequence then ends).
  bool send(std::uint8_t byte) {
    write(REG_SPI_TX, byte);
    if (core_.WaitSpiIdle()) return true;
    ok_ = false;
    return false;
  }
  // A register read: the address SET, then the GET of the data byte (0xFF
  // when the read returns nothing). True when both succeeded.
  bool read(std::uint16_t address, std::uint8_t& value) {
    CXuChannel* channel = core_.channel();
    value = 0xFF;
    if (channel == nullptr) {
      ok_ = false;
      return false;
    }
    const std::uint8_t addressBytes[2] = {static_cast<std::uint8_t>(address & 0xFF),
                                          static_cast<std::uint8_t>(address >> 8)};
    const bool addressOk = succeeded(channel->SetControl(XU_REG_ADDR, 2, addressBytes));
    std::uint8_t byte = 0xFF;
    const bool dataOk = succeeded(channel->GetControl(XU_REG_DATA, 1, &byte));
    value = byte;
    if (!addressOk || !dataOk) ok_ = false;
    return addressOk && dataOk;
  }
  void fail() { ok_ = false; }

  bool clean() const { return ok_ && !core_.faulted() && core_.channel() != nullptr; }

 private:
  CCameraCore& core_;
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

// FlashReadStatus, request for request and with the same bounds (the
// limits and their derivation are in channel/chip_registers.h): Read Status
// Register transactions until write-in-progress reads clear. A wait that
// gives up faults the core and yields kFlashStatusUnknown.
std::uint8_t readStatus(CCameraCore& core, Sequence& sequence) {
  if (core.faulted()) {
    sequence.fail();
    return kFlashStatusUnknown;
  }
  IClock& clock = core.platform().clock;
  const std::uint64_t start = clock.NowMicroseconds();
  std::uint32_t polls = 0;
  std::uint32_t failuresInRow = 0;
  sequence.write(REG_SPI_CTRL, 0x80);
  for (;;) {
    sequence.write(REG_SPI_CS, csAssert());
    if (!sequence.send(SPI_FLASH_READ_STATUS)) return kFlashStatusUnknown;
    std::uint8_t discarded = 0;
    (void)sequence.read(REG_SPI_RX0, discarded);
    if (!core.WaitSpiIdle()) {
      sequence.fail();
      return kFlashStatusUnknown;
    }
    std::uint8_t status = kFlashStatusUnknown;
    bool addressFailed = false;
    CXuChannel* channel = core.channel();
    const std::uint8_t addressBytes[2] = {static_cast<std::uint8_t>(REG_SPI_RX1 & 0xFF),
                                          static_cast<std::uint8_t>(REG_SPI_RX1 >> 8)};
    if (failed(channel->SetControl(XU_REG_ADDR, 2, addressBytes))) addressFailed = true;
    // Only the data request decides whether the poll read a status, as in
    // FlashReadStatus; a failed address request spoils the sequence.
    const bool readOk = succeeded(channel->GetControl(XU_REG_DATA, 1, &status));
    if (addressFailed || !readOk) sequence.fail();
    sequence.write(REG_SPI_CS, csRelease());
    if (readOk && (status & SPI_FLASH_STATUS_WIP) == 0) return status;
    ++polls;
    failuresInRow = readOk ? 0 : failuresInRow + 1;
    const bool exhausted =
        failuresInRow >= kWaitMaxReadFailures || polls >= kFlashWipMaxPolls ||
        (polls >= kWaitMinPolls && clock.NowMicroseconds() - start >= kFlashWipMaxMicroseconds);
    if (exhausted) {
      core.markFaulted();
      sequence.fail();
      return kFlashStatusUnknown;
    }
  }
}

}  // namespace

bool WriteFlashStatusChecked(CCameraCore& core, std::uint8_t value, std::int32_t useEwsr) {
  if (core.channel() == nullptr || core.faulted()) return false;
  Sequence sequence(core);
  const std::uint8_t current = readStatus(core, sequence);
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
  (void)readStatus(core, sequence);  // waits until the status write has finished
  return sequence.clean();
}

bool ClearFlashStatusChecked(CCameraCore& core) {
  if (core.channel() == nullptr) return false;
  Sequence sequence(core);
  if (readStatus(core, sequence) != 0x00) {
    simpleCommand(core, sequence, SPI_FLASH_WRITE_ENABLE);
    sequence.write(REG_SPI_CTRL, 0x80);
    sequence.write(REG_SPI_CS, csAssert());
    (void)sequence.send(SPI_FLASH_WRITE_STATUS);
    (void)sequence.send(0x00);
    sequence.write(REG_SPI_CS, csRelease());
    (void)readStatus(core, sequence);
  }
  return sequence.clean();
}

bool WriteFlashPageChecked(CCameraCore& core, const PageProgramRequest& request) {
  if (core.channel() == nullptr) return false;
  if (request.length > kPageProgramMaxData || core.faulted()) return false;
  Sequence sequence(core);
  // Like FlashWritePage, a register write whose data request failed ends
  // the program at once.
  if (failed(sequence.write(REG_SPI_CTRL, 0x80))) return false;
  simpleCommand(core, sequence, SPI_FLASH_WRITE_ENABLE);
  if (core.faulted()) return false;
  if (failed(sequence.write(REG_SPI_CS, csAssert()))) return false;
  auto send = [&core, &sequence](std::uint8_t byte) {
    return succeeded(sequence.write(REG_SPI_TX, byte)) && core.WaitSpiIdle();
  };
  if (!send(SPI_FLASH_PAGE_PROGRAM)) return false;
  for (const std::uint8_t addressByte : request.address) {
    if (!send(addressByte)) return false;
  }
  for (std::uint16_t i = 0; i < request.length; ++i) {
    if (!send(request.data[i])) return false;
  }
  if (failed(sequence.write(REG_SPI_CS, csRelease()))) return false;
  (void)readStatus(core, sequence);  // waits until programming has finished
  if (core.faulted()) return false;
  core.SendSpiIdleByte();
  if (core.faulted()) return false;
  if (failed(sequence.write(REG_SPI_CTRL, 0x00))) return false;
  return sequence.clean();
}

bool WriteFlashBytesChecked(CCameraCore& core, std::uint32_t address, std::uint32_t length,
                            const std::uint8_t* data) {
  CXuChannel* channel = core.channel();
  if (channel == nullptr) return false;
  const ChipFamily family = channel->family();
  if (family >= 106 && family <= 108) {
    // XuWriteFlashBytes, with its address request examined too: the packet
    // goes to the flash address the chip holds.
    const bool lengthPrefixed = family == 106;
    const std::uint32_t room = lengthPrefixed ? kXuFlashPacketSize - 1 : kXuFlashPacketSize;
    if (length > room || (length > 0 && data == nullptr)) return false;
    std::uint8_t packet[kXuFlashPacketSize];
    std::memset(packet, 0xFF, sizeof(packet));
    packet[0] = static_cast<std::uint8_t>(address & 0xFF);
    packet[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
    packet[2] = 0x00;
    packet[3] = 0x00;
    const bool addressOk = succeeded(channel->SetControl(XU_FLASH_ADDR, 4, packet));
    std::memset(packet, 0xFF, sizeof(packet));
    std::uint8_t* payload = packet;
    if (lengthPrefixed) {
      packet[0] = static_cast<std::uint8_t>(length & 0xFF);
      payload = packet + 1;
    }
    if (length > 0) std::memcpy(payload, data, length);
    const bool dataOk = succeeded(channel->SetControl(XU_FLASH_WRITE, kXuFlashPacketSize, packet));
    return addressOk && dataOk;
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
