// Chip register access, the SPI master's byte operations and the
// serial-flash command sequences built on them (operations of CCameraCore).
#include "channel/chip_registers.h"

#include <cstring>
#include <optional>

#include "camera/camera_device.h"

namespace qv {

namespace {

// Tracks one busy wait against its poll count, time and failure bounds.
class WaitBudget {
 public:
  WaitBudget(IClock& clock, std::uint32_t maxPolls, std::uint64_t maxMicroseconds)
      : clock_(clock),
        start_(clock.NowMicroseconds()),
        maxPolls_(maxPolls),
        maxMicroseconds_(maxMicroseconds) {}

  // Counts one poll (`readOk` false when its register read failed); true
  // when the wait must give up.
  bool exhausted(bool readOk) {
    ++polls_;
    failuresInRow_ = readOk ? 0 : failuresInRow_ + 1;
    if (failuresInRow_ >= kWaitMaxReadFailures) return true;
    if (polls_ >= maxPolls_) return true;
    return polls_ >= kWaitMinPolls && clock_.NowMicroseconds() - start_ >= maxMicroseconds_;
  }

 private:
  IClock& clock_;
  std::uint64_t start_;
  std::uint32_t maxPolls_;
  std::uint64_t maxMicroseconds_;
  std::uint32_t polls_ = 0;
  std::uint32_t failuresInRow_ = 0;
};

std::uint8_t csAssert() { return static_cast<std::uint8_t>(g_spiCsAssertValue); }
std::uint8_t csRelease() { return static_cast<std::uint8_t>(2 - g_spiCsAssertValue); }

}  // namespace

// ---- Registers ----------------------------------------------------------

HResult CCameraCore::WriteRegister(std::uint16_t address, std::uint8_t value) {
  if (!channel_) return hr::Pointer;
  const std::uint8_t addressBytes[2] = {static_cast<std::uint8_t>(address & 0xFF),
                                        static_cast<std::uint8_t>(address >> 8)};
  (void)counted(
      channel_->SetControl(XU_REG_ADDR, 2, addressBytes));  // the data SET goes out regardless
  return counted(channel_->SetControl(XU_REG_DATA, 1, &value));
}

HResult CCameraCore::ReadRegister(std::uint16_t address, std::uint8_t& value) {
  if (!channel_) return hr::Pointer;
  const std::uint8_t addressBytes[2] = {static_cast<std::uint8_t>(address & 0xFF),
                                        static_cast<std::uint8_t>(address >> 8)};
  (void)counted(channel_->SetControl(XU_REG_ADDR, 2, addressBytes));
  // A read that returns nothing leaves 0xFF: busy, write in progress.
  std::uint8_t byte = 0xFF;
  const HResult result = counted(channel_->GetControl(XU_REG_DATA, 1, &byte));
  value = byte;
  return result;
}

// ---- SPI master ------------------------------------------------------------

bool CCameraCore::WaitSpiIdle() {
  if (faulted_) return false;
  WaitBudget budget(platform_.clock, kSpiIdleMaxPolls, kSpiIdleMaxMicroseconds);
  for (;;) {
    std::uint8_t busy = 0xFF;
    const bool readOk = succeeded(ReadRegister(REG_SPI_BUSY, busy));
    if (readOk && busy == 0) return true;
    if (budget.exhausted(readOk)) {
      markFaulted();
      return false;
    }
  }
}

bool CCameraCore::spiSend(std::uint8_t byte) {
  (void)WriteRegister(REG_SPI_TX, byte);
  return WaitSpiIdle();
}

void CCameraCore::SendSpiIdleByte() {
  if (faulted_) return;
  (void)WriteRegister(REG_SPI_CTRL, 0x80);
  (void)spiSend(0x04);
}

// ---- Serial-flash sequences ----------------------------------------------

HResult CCameraCore::abandonSelected() {
  // A flash left selected would take whatever next reaches the bus as part
  // of the interrupted command. One release, unchecked and without a wait,
  // is all a core that gave up still sends.
  (void)WriteRegister(REG_SPI_CS, csRelease());
  return kHrWaitGaveUp;
}

HResult CCameraCore::flashSimpleCommand(std::uint8_t opcode) {
  if (faulted_) return kHrWaitGaveUp;
  (void)WriteRegister(REG_SPI_CTRL, 0x80);
  (void)WriteRegister(REG_SPI_CS, csAssert());
  if (!spiSend(opcode)) return abandonSelected();
  return WriteRegister(REG_SPI_CS, csRelease());
}

HResult CCameraCore::FlashWriteEnable() { return flashSimpleCommand(SPI_FLASH_WRITE_ENABLE); }

HResult CCameraCore::FlashEnableWriteStatus() {
  return flashSimpleCommand(SPI_FLASH_ENABLE_WRITE_STATUS);
}

std::uint8_t CCameraCore::FlashReadStatus() {
  if (faulted_) return kFlashStatusUnknown;
  WaitBudget budget(platform_.clock, kFlashWipMaxPolls, kFlashWipMaxMicroseconds);
  (void)WriteRegister(REG_SPI_CTRL, 0x80);
  for (;;) {
    // One complete Read Status Register transaction per poll.
    (void)WriteRegister(REG_SPI_CS, csAssert());
    if (!spiSend(SPI_FLASH_READ_STATUS)) {
      (void)abandonSelected();
      return kFlashStatusUnknown;
    }
    std::uint8_t discarded = 0;
    (void)ReadRegister(REG_SPI_RX0, discarded);
    if (!WaitSpiIdle()) {
      (void)abandonSelected();
      return kFlashStatusUnknown;
    }
    std::uint8_t status = kFlashStatusUnknown;
    const bool readOk = succeeded(ReadRegister(REG_SPI_RX1, status));
    (void)WriteRegister(REG_SPI_CS, csRelease());
    // A status that could not be read is not taken as settled.
    if (readOk && (status & SPI_FLASH_STATUS_WIP) == 0) return status;
    if (budget.exhausted(readOk)) {
      markFaulted();
      return kFlashStatusUnknown;
    }
  }
}

void CCameraCore::FlashWriteStatus(std::uint8_t value, std::int32_t useEwsr) {
  if (faulted_) return;
  const std::uint8_t current = FlashReadStatus();
  if (faulted_ || current == value) return;
  FlashWriteStatusRegister(value, useEwsr);
}

void CCameraCore::FlashWriteStatusRegister(std::uint8_t value, std::int32_t useEwsr) {
  if (faulted_) return;
  if (useEwsr == 1) {
    (void)FlashEnableWriteStatus();
  } else {
    (void)FlashWriteEnable();
  }
  if (faulted_) return;
  (void)WriteRegister(REG_SPI_CTRL, 0x80);
  (void)WriteRegister(REG_SPI_CS, csAssert());
  if (!spiSend(SPI_FLASH_WRITE_STATUS) || !spiSend(value)) {
    (void)abandonSelected();
    return;
  }
  (void)WriteRegister(REG_SPI_CS, csRelease());
  (void)FlashReadStatus();  // waits until the status write has finished
}

std::int32_t CCameraCore::FlashWritePage(const PageProgramRequest& request) {
  // The record holds no more data bytes than this.
  if (request.length > kPageProgramMaxData) return 0;
  if (faulted_) return 0;
  if (failed(WriteRegister(REG_SPI_CTRL, 0x80))) return 0;
  (void)FlashWriteEnable();
  if (faulted_) return 0;
  if (failed(WriteRegister(REG_SPI_CS, csAssert()))) return 0;
  // Opcode, the three address bytes, then the data; every byte is checked.
  auto send = [this](std::uint8_t byte) {
    return succeeded(WriteRegister(REG_SPI_TX, byte)) && WaitSpiIdle();
  };
  if (!send(SPI_FLASH_PAGE_PROGRAM)) return 0;
  for (std::uint8_t addressByte : request.address) {
    if (!send(addressByte)) return 0;
  }
  for (std::uint16_t i = 0; i < request.length; ++i) {
    if (!send(request.data[i])) return 0;
  }
  if (failed(WriteRegister(REG_SPI_CS, csRelease()))) return 0;
  (void)FlashReadStatus();  // waits until programming has finished
  // A program whose end was never seen is not reported as written.
  if (faulted_) return 0;
  SendSpiIdleByte();
  if (faulted_) return 0;
  return succeeded(WriteRegister(REG_SPI_CTRL, 0x00)) ? 1 : 0;
}

bool CCameraCore::FlashEraseSector(std::uint8_t opcode, std::uint32_t address) {
  if (faulted_) return false;
  const std::uint32_t failedBefore = failedRequests_;
  (void)FlashWriteEnable();
  if (faulted_) return false;
  (void)WriteRegister(REG_SPI_CTRL, 0x80);
  (void)WriteRegister(REG_SPI_CS, csAssert());
  const std::uint8_t command[4] = {opcode, static_cast<std::uint8_t>(address >> 16),
                                   static_cast<std::uint8_t>(address >> 8),
                                   static_cast<std::uint8_t>(address)};
  for (const std::uint8_t byte : command) {
    if (!spiSend(byte)) {
      (void)abandonSelected();
      return false;
    }
  }
  // The rising chip select starts the erase.
  (void)WriteRegister(REG_SPI_CS, csRelease());
  const std::uint8_t status = FlashReadStatus();
  return !faulted_ && (status & SPI_FLASH_STATUS_WIP) == 0 && failedRequests_ == failedBefore;
}

HResult CCameraCore::WriteFlashBytes(std::uint32_t address, std::uint32_t length,
                                     const std::uint8_t* data) {
  if (!channel_) return hr::Pointer;
  const ChipFamily family = channel_->family();
  if (family >= 106 && family <= 108) return XuWriteFlashBytes(address, length, data);

  if (length > kPageProgramMaxData) return kXuRequestTooLong;
  if (length > 0 && data == nullptr) return hr::Pointer;
  PageProgramRequest request{};
  // Only the first 64 KB are reachable: bits above 15 are dropped.
  request.address[0] = 0x00;
  request.address[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  request.address[2] = static_cast<std::uint8_t>(address & 0xFF);
  request.length = static_cast<std::uint16_t>(length);
  if (length > 0) std::memcpy(request.data, data, length);
  if (FlashWritePage(request) == 1) return hr::Ok;
  return faulted_ ? kHrWaitGaveUp : hr::Fail;
}

HResult CCameraCore::XuWriteFlashBytes(std::uint32_t address, std::uint32_t length,
                                       const std::uint8_t* data) {
  if (!channel_) return hr::Pointer;
  const bool lengthPrefixed = channel_->family() == 106;
  const std::uint32_t room = lengthPrefixed ? kXuFlashPacketSize - 1 : kXuFlashPacketSize;
  if (length > room) return kXuRequestTooLong;
  if (length > 0 && data == nullptr) return hr::Pointer;

  std::uint8_t packet[kXuFlashPacketSize];
  std::memset(packet, 0xFF, sizeof(packet));
  packet[0] = static_cast<std::uint8_t>(address & 0xFF);
  packet[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  packet[2] = 0x00;
  packet[3] = 0x00;
  (void)counted(channel_->SetControl(XU_FLASH_ADDR, 4, packet));

  std::memset(packet, 0xFF, sizeof(packet));
  std::uint8_t* payload = packet;
  if (lengthPrefixed) {
    packet[0] = static_cast<std::uint8_t>(length & 0xFF);
    payload = packet + 1;
  }
  if (length > 0) std::memcpy(payload, data, length);
  return counted(channel_->SetControl(XU_FLASH_WRITE, kXuFlashPacketSize, packet));
}

std::int32_t CCameraCore::ReadFlashId(std::uint8_t id[3], std::uint8_t command) {
  // Bytes that are never read stay 0xFF, what an absent flash answers.
  std::memset(id, 0xFF, 3);
  if (!channel_) return 1;
  const ChipFamily family = channel_->family();
  if (family == 106 || family == 107) {
    // Index 13 of the flash parameters takes the identification command.
    const std::uint8_t index = 0x0D;
    (void)counted(channel_->SetControl(XU_FLASH_PARAM_INDEX, 1, &index));
    (void)counted(channel_->SetControl(XU_FLASH_PARAM_VALUE, 1, &command));
    (void)counted(channel_->GetControl(XU_FLASH_ID, 3, id));
    return 1;
  }

  if (faulted_) return 1;
  SendSpiIdleByte();
  if (faulted_) return 1;
  (void)WriteRegister(REG_SPI_CS, csAssert());
  (void)WriteRegister(REG_SPI_TX, command);
  if (command != SPI_FLASH_READ_JEDEC_ID) {
    // 0x90 takes the address 000000h, 0xAB three dummy bytes.
    bool idle = WaitSpiIdle();
    for (int i = 0; idle && i < 3; ++i) idle = spiSend(0x00);
    if (!idle) {
      (void)abandonSelected();
      return 1;
    }
  }
  for (int i = 0; i < 3; ++i) {
    std::uint8_t discarded = 0;
    (void)ReadRegister(REG_SPI_RX0, discarded);
    std::uint8_t byte = 0xFF;
    bool idle = WaitSpiIdle();
    if (idle) {
      (void)ReadRegister(REG_SPI_RX1, byte);
      id[i] = byte;
      idle = WaitSpiIdle();
    }
    if (!idle) {
      (void)abandonSelected();
      return 1;
    }
  }
  (void)WriteRegister(REG_SPI_CS, csRelease());
  return 1;
}

std::int32_t CCameraCore::ResetChip() {
  // A real camera drops off the bus on its reset (the device goes away
  // while answering): a failure of the reset's requests is no fault of the
  // update, and whoever reads the camera afterwards opens it anew.
  chipReset_ = true;
  std::optional<CXuChannel::GoingAway> goingAway;
  if (channel_ != nullptr) goingAway.emplace(*channel_);
  for (std::uint16_t i = 0; i < sizeof(kChipResetValues); ++i) {
    if (failed(
            WriteRegister(static_cast<std::uint16_t>(REG_RESET_FIRST + i), kChipResetValues[i]))) {
      return 0;
    }
  }
  return 1;
}

}  // namespace qv
