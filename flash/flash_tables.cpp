// Flash identification, the command-table load and the image code byte.
#include "flash/flash_tables.h"

#include "camera/camera_device.h"
#include "flash/firmware_state.h"

namespace qv {

std::int32_t CCameraDevice::QueryFlashType(std::uint8_t& flashType) {
  const FlashIdentity identity = IdentifyFlash(*this);
  lastFlashId_ = {identity.flashType, identity.command, identity.reply};
  flashType = identity.flashType;
  return 0;
}

HResult CCameraCore::LoadFlashCommandTable(std::uint8_t flashType) {
  bool allSucceeded = false;
  return LoadFlashCommandTable(flashType, allSucceeded);
}

HResult CCameraCore::LoadFlashCommandTable(std::uint8_t flashType, bool& allSucceeded,
                                           std::uint32_t* dataLength) {
  allSucceeded = false;
  if (channel_ == nullptr) return hr::Pointer;
  const FlashCommandTable& table = kFlashCommandTables[CommandClassOf(flashType)];
  bool clean = true;
  // Index and value go in pairs; every request is sent whatever the one
  // before it returned.
  for (std::size_t i = 0; i < FLASH_TABLE_OPCODES; ++i) {
    const std::uint8_t index = static_cast<std::uint8_t>(i + 1);
    if (failed(channel_->SetControl(XU_FLASH_PARAM_INDEX, 1, &index))) clean = false;
    if (failed(channel_->SetControl(XU_FLASH_PARAM_VALUE, 1, &table[i]))) clean = false;
  }
  if (failed(channel_->SetControl(XU_FLASH_MODE, 1, &table[FLASH_TABLE_OPCODES]))) clean = false;
  // Kernel Streaming may answer the length query with S_OK and no length:
  // the caller's value then stands.
  std::uint32_t length = dataLength != nullptr ? *dataLength : 0;
  const HResult result = channel_->GetControlLength(XU_FLASH_DATA, &length);
  if (succeeded(result) && dataLength != nullptr) *dataLength = length;
  allSucceeded = clean && succeeded(result);
  return result;
}

void CCameraCore::PatchImageFlashCode(std::uint8_t* image, std::uint8_t flashType) {
  if (image == nullptr || channel_ == nullptr) return;
  PatchImageCode(image, channel_->family(), flashType);
}

void PatchImageCode(std::uint8_t* image, ChipFamily family, std::uint8_t flashType) {
  const ImageCodeRow* row = ImageCodeRowOf(family);
  if (image == nullptr || row == nullptr) return;
  image[row->offset] = row->codes[CommandClassOf(flashType)];
}

}  // namespace qv
