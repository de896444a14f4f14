// The update job: the embedded image goes to the "tmp" file beside the
// executable (for an installed copy, see UpdateFirmware), is read back into
// the image buffer and handed, with the flash type, to the download engine.
#include <cstring>
#include <memory>
#include <new>

#include "app/messages.h"
#include "app/update_job.h"
#include "flash/firmware_state.h"
#include "flash/flash_tables.h"
#include "flash/update_controls.h"
#include "platform/failure_notes.h"
#include "platform/write_phase.h"

namespace qv {

namespace {
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

void TellPlace(const Platform& platform, FilePlace place, std::string_view what,
               const std::wstring& path) {
  if (place != FilePlace::CurrentDirectory) return;
  platform.console.WriteError(std::string(what) + platform.files.PathForMessage(path) + "\n");
}

bool CFrontEnd::ExtractFirmwareImage(const std::wstring& path) {
  const std::span<const std::uint8_t> image = platform_.resources.FindBinary(FIRMWARE_RESOURCE_ID);
  if (image.empty()) {
    runNotes().note(FailureKind::FileNotWritten, "the program carries no firmware image");
    return false;
  }
  std::unique_ptr<IFileSystem::MappedFile> file = platform_.files.CreateMapped(path, image.size());
  if (file == nullptr) return false;
  std::memcpy(file->data(), image.data(), image.size());
  return true;  // destroying the mapping closes view, mapping and file
}

bool CFrontEnd::ExtractFirmwareImageToTemporary(std::wstring& path) {
  const std::span<const std::uint8_t> image = platform_.resources.FindBinary(FIRMWARE_RESOURCE_ID);
  if (image.empty()) {
    runNotes().note(FailureKind::FileNotWritten, "the program carries no firmware image");
    return false;
  }
  std::unique_ptr<IFileSystem::MappedFile> file =
      platform_.files.CreateMappedTemporary(image.size(), path);
  if (file == nullptr) return false;
  std::memcpy(file->data(), image.data(), image.size());
  return true;
}

std::int32_t CFrontEnd::CheckBeforeWriting(bool readsBack, PreparedUpdate& prepared) {
  if (currentDevice_ == nullptr) return 1;

  // The image copy goes beside the executable. An installed copy keeps the
  // tool's files out of its folder: a -dbg run keeps the copy as tmp in the
  // current directory; any other run uses a private temporary file of the
  // system's, removed once read back.
  std::wstring tmpPath;
  FilePlace place{};
  bool extracted = false;
  bool keepsName = true;
  // A path that cannot be had (its reason noted there) extracts nothing.
  if (ToolFilePath(platform_.files, L"tmp", tmpPath, place)) {
    if (place == FilePlace::CurrentDirectory && verbose_ == 0) {
      keepsName = false;
      extracted = ExtractFirmwareImageToTemporary(tmpPath);
    } else {
      extracted = ExtractFirmwareImage(tmpPath);
    }
  }
  if (!extracted) {
    PrintVerbose(msg::kBinaryCreateFail);
    return 1;
  }
  if (verbose_ != 0) TellPlace(platform_, place, "tmp kept as ", tmpPath);

  // Zero-filled: the engine may read and patch beyond the image.
  prepared.buffer.reset(new (std::nothrow) std::uint8_t[IMAGE_BUFFER_SIZE]());
  std::uint8_t* const buffer = prepared.buffer.get();
  std::size_t length = 0;
  const IFileSystem::ReadResult read =
      buffer == nullptr ? IFileSystem::ReadResult::ReadError
                        : platform_.files.ReadFile(
                              tmpPath, std::span<std::uint8_t>(buffer, IMAGE_BUFFER_SIZE), length);
  // What was read back must be the image that was written: the file sits in
  // a folder other programs can write to, and a changed or cut-short copy
  // must never reach the flash. A file longer than the buffer is refused
  // (TooLong) rather than cut.
  const std::span<const std::uint8_t> image = platform_.resources.FindBinary(FIRMWARE_RESOURCE_ID);
  if (read != IFileSystem::ReadResult::Ok || length != image.size() ||
      std::memcmp(buffer, image.data(), length) != 0) {
    // The file system notes a file it could not read; one it read that is
    // not what was written is noted here.
    if (read == IFileSystem::ReadResult::Ok || read == IFileSystem::ReadResult::TooLong)
      runNotes().note(FailureKind::FileNotRead,
                      msg::Narrow(tmpPath) + ": changed by another program while it was read");
    // A private temporary file is nobody's to inspect: it goes either way.
    if (!keepsName) (void)platform_.files.RemoveFile(tmpPath);
    PrintVerbose(msg::kBinaryLoadFail);
    return 1;
  }
  prepared.length = length;

  if (verbose_ == 0) (void)platform_.files.RemoveFile(tmpPath);

  CCameraCore* core = currentDevice_->core();
  // A camera another program streams from answers requests all the same:
  // nothing is sent to it. Asked before the first request of the update.
  const CameraUse use = core != nullptr ? core->CheckCameraInUse() : CameraUse::Unknown;
  if (use == CameraUse::InUse) {
    runNotes().note(FailureKind::CameraInUse);
    return 1;
  }
  // The answer above is a moment's: a video call can start a second later,
  // in the middle of the download, or stream from another capture function
  // of the same camera (an infrared one). Holding the stream of every
  // capture function until the engine returns keeps every other program
  // out; a dry run takes it and gives it back at once.
  const CameraUse held = core != nullptr ? core->HoldForWrite(prepared.hold) : CameraUse::Unknown;
  if (held == CameraUse::InUse) {
    runNotes().note(FailureKind::CameraInUse);
    return 1;
  }
  // Only when neither the snapshot nor the hold could tell is the use
  // unknown (Windows' in-box driver may not answer the pin count, but its
  // capture pin can be held).
  if (use == CameraUse::Unknown && held == CameraUse::Unknown && verbose_ != 0)
    platform_.console.WriteError(msg::kInUseUnknown);

  // A control the update needs that the unit lacks is refused by the driver
  // when its turn comes, maybe in the middle of download mode, or in the
  // read-back once the flash was written: asked of the driver before the
  // first request of the update, nothing sent.
  MissingControl missing;
  const ControlCheck controls = core != nullptr && core->channel() != nullptr
                                    ? CheckUpdateControls(*core->channel(), readsBack, missing)
                                    : ControlCheck::Unknown;
  if (controls == ControlCheck::Missing) {
    // A control the driver could not set up is a failed request (a replug
    // may mend it), not a control this camera lacks.
    runNotes().note(missing.notSetUp ? FailureKind::RequestFailed : FailureKind::ControlMissing,
                    DescribeMissingControl(missing));
    return 1;
  }
  if (controls == ControlCheck::Unknown && verbose_ != 0) {
    platform_.console.WriteError(msg::kControlsUnknown);
  }

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
  if (answerLost && !runNotes().has(FailureKind::Unplugged))
    runNotes().note(FailureKind::FlashNotAnswering, "the flash part was not identified");
  if (flashType == FLASH_TYPE_UNDEFINED || answerLost) {
    if (verbose_ != 0) {
      if (!answerLost) runNotes().note(FailureKind::FlashUnknown);
      Print(msg::kFlashUndefined);
      return 1;
    }
    if (answerLost) return 1;
    flashType = kAssumedUpdateFlashType;
  }

  if (verbose_ != 0) Print(msg::FlashNameLine(FlashName(flashType)));

  // A part smaller than what the update writes takes the addresses beyond
  // its end at the start of its flash again: the download would overwrite
  // what it had just written there, and its checksum (over the data the chip
  // received) could not tell.
  const ChipFamily family =
      core->channel() != nullptr ? core->channel()->family() : CHIP_FAMILY_NONE;
  const std::uint32_t span = UpdateSpanEnd(family, static_cast<std::uint32_t>(length));
  const std::uint32_t partSize = FlashPartSize(flashType);
  if (partSize != 0 && span > partSize) {
    runNotes().note(FailureKind::FlashTooSmall,
                    std::string(kFlashParts[flashType - FLASH_TYPE_FIRST_PART].name) + " holds " +
                        std::to_string(partSize) + " bytes, the update needs " +
                        std::to_string(span));
    if (verbose_ != 0) Print(msg::kFlashTooSmall);
    return 1;
  }
  prepared.flashType = flashType;
  return 0;
}

std::int32_t CFrontEnd::UpdateFirmware(const UpdateRequest& request) {
  PreparedUpdate prepared;
  if (CheckBeforeWriting(request.readsBack, prepared) != 0) return 1;
  if (request.dryRun) return 0;
  if (request.backupInto != nullptr && MakeBackup(prepared.flashType, *request.backupInto) != 0)
    return 1;

  // A stop asked for (Ctrl-C in a run that defers it) ends the run here,
  // before the first request that changes the chip or the flash.
  if (writeGuard().StopRequested()) {
    runNotes().note(FailureKind::Interrupted);
    return 1;
  }

  if (verbose_ != 0) Print(msg::kStartUpdate);

  updateFlashType_ = prepared.flashType;
  currentDevice_->SetUpdateObserver(&progress_);
  progress_.BeginUpdate();
  const std::int32_t result = currentDevice_->DownloadFirmware(
      prepared.buffer.get(), static_cast<std::uint32_t>(prepared.length), prepared.flashType,
      &updateStatus_.computedChecksum, &updateStatus_.deviceChecksum, &updateStatus_.state,
      &updateStatus_.progress);
  progress_.EndUpdate(result == 0);
  currentDevice_->SetUpdateObserver(nullptr);
  return result == 0 ? 0 : 1;
}

}  // namespace qv
