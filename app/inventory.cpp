// The inventory: per camera its identity, flash part and firmware state.
#include "app/inventory.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "app/sha256.h"
#include "app/update_job.h"
#include "flash/download_engine.h"
#include "platform/failure_notes.h"

namespace qv {

namespace {

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    if (!text.empty()) text.push_back(' ');
    text += HexByte(b).substr(2);
  }
  return text;
}

}  // namespace

std::string HexByte(std::uint8_t value) {
  char text[5];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
  return text;
}

std::string Hex4Text(std::uint16_t value) {
  char text[5];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return text;
}

void NoteOtherCamera(std::int32_t index, std::uint16_t vendor, std::uint16_t product) {
  // 0xFFFF is no vendor's or product's number: the lookup could not read it
  // from the device's hardware ID.
  if (vendor == kUnreadableUsbField || product == kUnreadableUsbField) {
    runNotes().note(FailureKind::OtherCamera,
                    "the USB identity of camera " + std::to_string(index) + " could not be read");
    return;
  }
  runNotes().note(FailureKind::OtherCamera, "camera " + std::to_string(index) + " is " +
                                                Hex4Text(vendor) + ":" + Hex4Text(product));
}

const char* CameraActionName(CameraAction action) {
  switch (action) {
    case CameraAction::Listed:
      return "listed";
    case CameraAction::Updated:
      return "updated";
    case CameraAction::SkippedUpToDate:
      return "skipped up to date";
    case CameraAction::Dumped:
      return "dumped";
    case CameraAction::FailedToOpen:
      return "failed to open";
    case CameraAction::Refused:
      return "refused";
    case CameraAction::Stopped:
      return "stopped";
    case CameraAction::WouldUpdate:
      return "would update";
    case CameraAction::WouldFail:
      return "would fail";
    case CameraAction::Restored:
      return "restored";
    case CameraAction::NotTarget:
      break;
  }
  return "not the target";
}

std::vector<FirmwareSummary> SummarizeFirmware(std::span<const std::uint8_t> image) {
  std::vector<FirmwareSummary> summaries;
  if (image.empty()) return summaries;
  for (ChipFamily family = 102; family <= 108; ++family) {
    ExpectedFlash expected;
    if (!expected.Build(family, kAssumedUpdateFlashType, image)) continue;
    // The patched image itself: the engine's buffer over the image's length.
    std::vector<std::uint8_t> patched(IMAGE_BUFFER_SIZE, 0);
    std::copy(image.begin(), image.end(), patched.begin());
    PatchImageCode(patched.data(), family, kAssumedUpdateFlashType);
    FirmwareSummary summary;
    summary.family = family;
    summary.length = expected.imageLength();
    summary.checksum = expected.checksum();
    summary.sha256 = Sha256Hex(std::span<const std::uint8_t>(patched.data(), image.size()));
    summaries.push_back(summary);
  }
  return summaries;
}

std::string FirmwareVersionLines(std::span<const std::uint8_t> image) {
  std::string text;
  for (const FirmwareSummary& f : SummarizeFirmware(image)) {
    text += "firmware for chip family " + std::to_string(f.family) + ": " +
            std::to_string(f.length) + " bytes, checksum " + HexByte(f.checksum) + ", SHA-256 " +
            f.sha256.substr(0, 12) + "\n";
  }
  return text;
}

void RecordIdentity(CCameraDevice& device, CameraRecord& record) {
  CCameraCore* core = device.core();
  if (core == nullptr) return;
  record.path = core->devicePath();
  if (core->channel() != nullptr) record.family = core->channel()->family();
  CAMERA_USB_INFO info{};
  (void)device.GetUsbInfo(info);
  // The lookup writes nothing when it finds no node for the camera.
  record.identityFound = info.vendor != 0 || info.product != 0 || info.revision != 0;
  record.vendor = info.vendor;
  record.product = info.product;
  record.revision = info.revision;
  record.target = info.vendor == TARGET_VID && info.product == TARGET_PID;
}

std::uint8_t RecordFirmwareState(CCameraDevice& device, std::span<const std::uint8_t> image,
                                 CameraRecord& record) {
  record.stateBefore = FirmwareState::Unknown;
  CCameraCore* core = device.core();
  if (core == nullptr || core->channel() == nullptr) return FLASH_TYPE_UNDEFINED;
  const std::uint32_t failedBefore = core->failedRequests();
  record.flash = IdentifyFlash(device);
  record.flashAsked = true;
  record.identificationLost = core->failedRequests() != failedBefore || core->faulted();
  // What the update hands the engine: the part found, or the assumed one
  // when nothing known answered.
  const std::uint8_t updateType = record.flash.flashType == FLASH_TYPE_UNDEFINED
                                      ? kAssumedUpdateFlashType
                                      : record.flash.flashType;
  if (record.identificationLost) return updateType;
  ExpectedFlash expected;
  if (!expected.Build(record.family, updateType, image)) return updateType;
  // The state is read as every long option reads: twice, compared.
  const FirmwareCheck check =
      CheckFirmware(*core, record.flash.flashType, expected, ReadCheck::Twice);
  record.stateBefore = check.state;
  record.imageSpan = expected.readEnd();
  if (!check.readOut.empty())
    record.sha256BeforeImage =
        Sha256Hex(std::span<const std::uint8_t>(check.readOut.data(), expected.readEnd()));
  return updateType;
}

std::string FormatInventory(std::span<const CameraRecord> records) {
  using Row = std::array<std::string, 10>;
  std::vector<Row> rows;
  rows.push_back(
      {"INDEX", "USB", "REV", "TARGET", "FAMILY", "FLASH", "ID", "SIZE", "FIRMWARE", "CAMERA_ID"});
  std::vector<std::string> paths{"PATH"};
  for (const CameraRecord& r : records) {
    Row row;
    row[0] = std::to_string(r.index);
    row[1] = r.identityFound ? Hex4Text(r.vendor) + ":" + Hex4Text(r.product) : "-";
    row[2] = r.identityFound ? Hex4Text(r.revision) : "-";
    row[3] = r.opened ? (r.target ? "yes" : "no") : "-";
    row[4] = r.opened ? std::to_string(r.family) : "-";
    const std::string part =
        r.flashAsked ? std::string(FlashPartName(r.flash.flashType)) : std::string();
    row[5] = part.empty() ? (r.flashAsked ? "unknown" : "-") : part;
    row[6] = r.flashAsked && r.flash.command != 0
                 ? hexBytes(std::span<const std::uint8_t>(&r.flash.command, 1)) + ": " +
                       hexBytes(r.flash.reply)
                 : "-";
    const std::uint32_t size = r.flashAsked ? FlashPartSize(r.flash.flashType) : 0;
    row[7] = size != 0 ? std::to_string(size / 1024) + " KB" : "-";
    row[8] =
        r.stateBefore ? FirmwareStateName(*r.stateBefore) : (r.opened ? "unknown" : "not opened");
    row[9] = r.cameraId.empty() ? "-" : r.cameraId;
    rows.push_back(row);
    paths.push_back(r.path.empty() ? "-" : r.path);
  }
  std::array<std::size_t, 10> widths{};
  for (const Row& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string text;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t c = 0; c < rows[i].size(); ++c) {
      text += rows[i][c];
      text.append(widths[c] - rows[i][c].size() + 2, ' ');
    }
    text += paths[i];
    text.push_back('\n');
  }
  return text;
}

}  // namespace qv
