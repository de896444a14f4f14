// Flash read-out through the extension-unit flash controls.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "camera/camera_device.h"
#include "flash/download_engine.h"

namespace qv {

namespace {

// The read-out addresses a 64 KB flash: addresses travel as 16 bits.
constexpr std::uint32_t kReadAddressSpace = 0x10000;
// The block buffer also carries the 4-byte address sent with XU_FLASH_ADDR.
constexpr std::uint32_t kMinReadBlock = 4;
// No block larger than the whole address space is accepted (nor allocated).
constexpr std::uint32_t kMaxReadBlock = kReadAddressSpace;
// With this block length the chip advances its read address by itself and
// the address is sent once.
constexpr std::uint32_t kStreamedReadBlock = 4096;

void putFlashAddress(std::uint8_t* bytes, std::uint32_t address) {
  bytes[0] = static_cast<std::uint8_t>(address & 0xFF);
  bytes[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  bytes[2] = 0;
  bytes[3] = 0;
}

}  // namespace

std::int32_t CCameraCore::ReadFlash(std::uint8_t* buffer, std::uint8_t flashType,
                                    std::uint32_t start, std::uint32_t end) {
  if (buffer == nullptr || channel_ == nullptr) return 0;
  // Addresses beyond 16 bits cannot be sent; such a range is refused before
  // anything is sent.
  if (start > kReadAddressSpace || end > kReadAddressSpace) return 0;

  // The chip reads with the opcodes of the table loaded here: a table entry
  // lost on the way makes every block read garbage while each read request
  // succeeds, so a load that did not fully arrive fails the read-out.
  bool tableLoaded = false;
  (void)LoadFlashCommandTable(flashType, tableLoaded);
  if (!tableLoaded) return 0;

  std::uint32_t blockLength = 0;
  if (failed(channel_->GetControlLength(XU_FLASH_DATA, &blockLength))) return 0;
  if (blockLength < kMinReadBlock || blockLength > kMaxReadBlock) return 0;
  const std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[blockLength]);
  if (block == nullptr) return 0;

  // Every block lands at its flash address; a block reaching past the end of
  // the range is copied only up to the end, so the caller's buffer is never
  // written beyond the range it asked for.
  auto copyBlock = [&](std::uint32_t address, std::uint32_t length) {
    std::memcpy(buffer + address, block.get(), std::min(length, end - address));
  };

  if (blockLength == kStreamedReadBlock) {
    putFlashAddress(block.get(), start);
    if (failed(channel_->SetControl(XU_FLASH_ADDR, 4, block.get()))) return 0;
    for (std::uint32_t address = start; address < end; address += blockLength) {
      if (failed(channel_->GetControl(XU_FLASH_DATA, blockLength, block.get()))) return 0;
      copyBlock(address, blockLength);
    }
    return 1;
  }

  // Any other block length: the address goes with every block, and the
  // chip is asked for its block length once more. A length that does not
  // fit the buffer allocated for the first one, or that cannot carry the
  // address, is refused.
  const std::uint32_t firstLength = blockLength;
  if (failed(channel_->GetControlLength(XU_FLASH_DATA, &blockLength))) return 0;
  if (blockLength < kMinReadBlock || blockLength > firstLength) return 0;
  for (std::uint32_t address = start; address < end; address += blockLength) {
    putFlashAddress(block.get(), address);
    if (failed(channel_->SetControl(XU_FLASH_ADDR, 4, block.get()))) return 0;
    if (failed(channel_->GetControl(XU_FLASH_DATA, blockLength, block.get()))) return 0;
    copyBlock(address, blockLength);
  }
  return 1;
}

std::int32_t CCameraDevice::DumpFlash(std::uint8_t* buffer, std::uint8_t flashType) {
  if (core_ == nullptr) return STATUS_FAIL;
  return core_->ReadFlash(buffer, flashType, 0x0000, 0x10000) == 1 ? STATUS_OK : STATUS_FAIL;
}

}  // namespace qv
