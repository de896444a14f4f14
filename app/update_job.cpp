// The update job: the embedded image goes to the "tmp" file beside the
// executable, is read back into the image buffer and handed, with the flash
// type, to the download engine.
#include <cstring>
#include <memory>
#include <new>

#include "app/messages.h"
#include "app/update_job.h"
#include "flash/flash_tables.h"
#include "platform/failure_notes.h"

namespace qv {

namespace {
// The part assumed when identification fails in a terse run.
constexpr std::uint8_t kAssumedFlashType = 122;  // GD25Q512

// The part names of the flash tables as wide text, made at compile time so
// that the names live in one table only.
constexpr std::size_t kPartNameRoom = 16;  // the longest name, "AMICA25LS512", is 12
using WidePartNames = std::array<std::array<wchar_t, kPartNameRoom>, kFlashParts.size()>;

constexpr WidePartNames widenPartNames() {
  WidePartNames names{};
  for (std::size_t i = 0; i < kFlashParts.size(); ++i) {
    for (std::size_t j = 0; kFlashParts[i].name[j] != '\0'; ++j) {
      // A name without room for its terminator stops the build here.
      names[i].at(j + 1) = L'\0';
      names[i][j] = static_cast<wchar_t>(kFlashParts[i].name[j]);
    }
  }
  return names;
}
constexpr WidePartNames kWidePartNames = widenPartNames();
}  // namespace

std::wstring_view FlashName(std::uint8_t flashType) {
  if (flashType < FLASH_TYPE_FIRST_PART || flashType > FLASH_TYPE_LAST_PART) return {};
  return kWidePartNames[flashType - FLASH_TYPE_FIRST_PART].data();
}

bool CFrontEnd::ExtractFirmwareImage(const std::wstring& path) {
  const std::span<const std::uint8_t> image = platform_.resources.FindBinary(FIRMWARE_RESOURCE_ID);
  if (image.empty()) return false;
  std::unique_ptr<IFileSystem::MappedFile> file = platform_.files.CreateMapped(path, image.size());
  if (file == nullptr) return false;
  std::memcpy(file->data(), image.data(), image.size());
  return true;  // destroying the mapping closes view, mapping and file
}

std::int32_t CFrontEnd::UpdateFirmware() {
  if (currentDevice_ == nullptr) return 1;

  std::wstring tmpPath;
  if (!ExecutableSiblingPath(platform_.files, L"tmp", tmpPath) || !ExtractFirmwareImage(tmpPath)) {
    PrintVerbose(msg::kBinaryCreateFail);
    return 1;
  }

  // Zero-filled: the engine may read and patch beyond the image.
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow)
                                                   std::uint8_t[IMAGE_BUFFER_SIZE]());
  std::size_t length = 0;
  const IFileSystem::ReadResult read =
      buffer == nullptr
          ? IFileSystem::ReadResult::ReadError
          : platform_.files.ReadFile(
                tmpPath, std::span<std::uint8_t>(buffer.get(), IMAGE_BUFFER_SIZE), length);
  // What was read back must be the image that was written: the file sits in
  // a folder other programs can write to, and a changed or cut-short copy
  // must never reach the flash. A file longer than the buffer is refused
  // (TooLong) rather than cut.
  const std::span<const std::uint8_t> image = platform_.resources.FindBinary(FIRMWARE_RESOURCE_ID);
  if (read != IFileSystem::ReadResult::Ok || length != image.size() ||
      std::memcmp(buffer.get(), image.data(), length) != 0) {
    PrintVerbose(msg::kBinaryLoadFail);
    return 1;
  }

  if (verbose_ == 0) (void)platform_.files.RemoveFile(tmpPath);

  CCameraCore* core = currentDevice_->core();
  // A camera another program streams from answers requests all the same:
  // nothing is sent to it. Asked before the first request of the update.
  const CameraUse use = core != nullptr ? core->CheckCameraInUse() : CameraUse::Unknown;
  if (use == CameraUse::InUse) {
    runNotes().note(FailureKind::CameraInUse);
    return 1;
  }
  if (use == CameraUse::Unknown && verbose_ != 0) platform_.console.WriteError(msg::kInUseUnknown);

  std::uint8_t flashType = FLASH_TYPE_UNDEFINED;
  const std::uint32_t failedBefore = core != nullptr ? core->failedRequests() : 0;
  (void)currentDevice_->QueryFlashType(flashType);
  // An answer to identification requests that did not all arrive is not the
  // flash's answer: a part taken for another gets the wrong command table
  // and image code byte, and the download's checksum (over the data the
  // chip received) cannot tell. Such an answer is never replaced by the
  // assumed part; the update stops as for an undefined flash.
  const bool answerLost =
      core == nullptr || core->failedRequests() != failedBefore || core->faulted();
  if (flashType == FLASH_TYPE_UNDEFINED || answerLost) {
    if (verbose_ != 0) {
      Print(msg::kFlashUndefined);
      return 1;
    }
    if (answerLost) return 1;
    flashType = kAssumedFlashType;
  }

  if (verbose_ != 0) {
    Print(msg::FlashNameLine(FlashName(flashType)));
    Print(msg::kStartUpdate);
  }

  currentDevice_->SetUpdateObserver(&progress_);
  progress_.BeginUpdate();
  const std::int32_t result = currentDevice_->DownloadFirmware(
      buffer.get(), static_cast<std::uint32_t>(length), flashType, &updateStatus_.computedChecksum,
      &updateStatus_.deviceChecksum, &updateStatus_.state, &updateStatus_.progress);
  progress_.EndUpdate();
  currentDevice_->SetUpdateObserver(nullptr);
  return result == 0 ? 0 : 1;
}

}  // namespace qv
