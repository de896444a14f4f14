// --restore FILE: a backup written back to the camera it came from, then
// read back and compared. The file and its sidecar are checked before any
// camera is touched; the camera is checked before anything is written; the
// write phase is protected as an update's is (the stream held, the controls
// asked for, signals deferred, progress shown).
//
// The route depends on the chip family. Families 102 to 105 let the host
// drive the flash through the chip's SPI master: only the sectors that
// differ are erased and programmed (flash/host_write.h). Families 106 to 108
// write their flash only through the chip's download engine: the backup is
// downloaded as the image, without the image-code patch. Their download
// programs every byte at its own address (address 0 through the commit) and
// rewrites none, so what is written is the backup byte for byte; the chip
// reset that ends it is followed by the re-find of the camera.
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "app/backup_file.h"
#include "app/failure_reasons.h"
#include "app/inventory.h"
#include "app/messages.h"
#include "app/sha256.h"
#include "app/update_job.h"
#include "app/utc_time.h"
#include "flash/download_engine.h"
#include "flash/firmware_state.h"
#include "flash/host_write.h"
#include "flash/update_controls.h"
#include "platform/failure_notes.h"
#include "platform/write_phase.h"

namespace qv {

struct RestoreSource {
  std::vector<std::uint8_t> bytes;       // the backup, flash addresses 0 to its size
  std::optional<BackupSidecar> sidecar;  // none: taken with --force
};

namespace {

// What a note of a file the system could not read says (the path and the
// system's reason), or the path alone.
std::string readFailure(std::size_t mark, const std::string& path) {
  const std::vector<FailureNote>& notes = runNotes().notes();
  for (std::size_t i = mark; i < notes.size(); ++i) {
    if (notes[i].kind == FailureKind::FileNotRead && !notes[i].detail.empty())
      return notes[i].detail;
  }
  return path;
}

// Reads the backup and its sidecar and checks them against each other.
// Empty when the restore may go on; otherwise the refusal, without
// "qvflash: " and "; nothing was done".
std::string loadSource(IFileSystem& files, const std::wstring& file, bool force,
                       RestoreSource& source) {
  const std::string name = files.PathForMessage(file);
  source.bytes.assign(kBackupSpanLimit, 0);
  std::size_t length = 0;
  std::size_t mark = runNotes().notes().size();
  switch (files.ReadFile(file, source.bytes, length)) {
    case IFileSystem::ReadResult::Ok:
      break;
    case IFileSystem::ReadResult::TooLong:
      return "the backup " + name + " is larger than 64 KB, all a restore can write";
    default:
      return "the backup could not be read (" + readFailure(mark, name) + ")";
  }
  source.bytes.resize(length);
  if (length == 0) return "the backup " + name + " is empty";
  if (length % kBackupSectorSize != 0)
    return "the backup " + name + " is not whole 4 KB sectors (" + std::to_string(length) +
           " bytes)";

  const std::wstring sidecarFile = file + std::wstring(kSidecarSuffix);
  const std::string sidecarName = files.PathForMessage(sidecarFile);
  // A sidecar is a few hundred bytes; one of 64 KB is no sidecar.
  std::vector<std::uint8_t> text(kBackupSpanLimit, 0);
  std::size_t textLength = 0;
  mark = runNotes().notes().size();
  const IFileSystem::ReadResult read = files.ReadFile(sidecarFile, text, textLength);
  if (read == IFileSystem::ReadResult::CannotOpen) {
    const std::string why = readFailure(mark, sidecarName);
    runNotes().dropAfter(mark);
    if (force) return {};
    return "the backup " + name + " has no sidecar (" + why +
           "); --force restores a file without one, on a camera it fits";
  }
  if (read != IFileSystem::ReadResult::Ok)
    return "the sidecar " + sidecarName + " could not be read (" + readFailure(mark, sidecarName) +
           ")";
  BackupSidecar sidecar;
  std::string why;
  if (!ParseSidecar(std::string_view(reinterpret_cast<const char*>(text.data()), textLength),
                    sidecar, why))
    return "the sidecar " + sidecarName + " is refused: " + why;
  if (sidecar.size != length)
    return "the backup " + name + " holds " + std::to_string(length) + " bytes, its sidecar says " +
           std::to_string(sidecar.size);
  if (Sha256Hex(source.bytes) != sidecar.sha256)
    return "the backup " + name + " is not the file its sidecar describes (its SHA-256 differs)";
  source.sidecar = sidecar;
  return {};
}

std::string partName(std::uint8_t flashType) {
  const std::string_view name = FlashPartName(flashType);
  return name.empty() ? "an unknown part" : std::string(name);
}

// The first address at which `readBack` differs from `wanted`, and how many
// bytes do.
FlashDifference compareBytes(std::span<const std::uint8_t> wanted,
                             std::span<const std::uint8_t> readBack) {
  FlashDifference difference;
  for (std::size_t a = 0; a < wanted.size(); ++a) {
    if (wanted[a] == readBack[a]) continue;
    if (difference.count == 0) difference.firstAddress = static_cast<std::uint32_t>(a);
    ++difference.count;
  }
  return difference;
}

// Families whose flash only the chip's download engine writes.
bool writtenByEngine(ChipFamily family) { return family >= 106 && family <= 108; }

}  // namespace

void CFrontEnd::RestoreTarget(const RestoreSource& source, CameraRecord& record) {
  record.action = CameraAction::Restored;
  const std::size_t mark = runNotes().notes().size();
  const auto size = static_cast<std::uint32_t>(source.bytes.size());
  auto refuse = [&] {
    record.action = CameraAction::Refused;
    record.passed = false;
    record.tryLater = NotedSince(mark, {FailureKind::CameraInUse, FailureKind::CameraPrivacy});
    const std::string why = CameraReason(runNotes(), mark);
    PrintCameraLine(record, why.empty() ? "not restored, nothing written"
                                        : "not restored, nothing written: " + why);
  };
  auto fail = [&] {
    record.passed = false;
    const std::string why = CameraReason(runNotes(), mark);
    PrintCameraLine(record, why.empty() ? "restore failed" : "restore failed: " + why);
  };

  CCameraCore* core = currentDevice_->core();
  if (core == nullptr || core->channel() == nullptr) {
    refuse();
    return;
  }
  // The part, as an update identifies it: an answer of which a request was
  // lost names no part.
  std::uint8_t flashType = FLASH_TYPE_UNDEFINED;
  const std::uint32_t failedBefore = core->failedRequests();
  (void)currentDevice_->QueryFlashType(flashType);
  const CCameraDevice::FlashIdAnswer& id = currentDevice_->lastFlashId();
  record.flash = FlashIdentity{id.flashType, id.command, id.reply};
  record.flashAsked = id.command != 0;
  if (core->failedRequests() != failedBefore || core->faulted()) {
    record.identificationLost = true;
    if (!runNotes().has(FailureKind::Unplugged))
      runNotes().note(FailureKind::FlashNotAnswering, "the flash part was not identified");
    refuse();
    return;
  }
  if (flashType < FLASH_TYPE_FIRST_PART || flashType > FLASH_TYPE_LAST_PART) {
    runNotes().note(FailureKind::FlashUnknown);
    refuse();
    return;
  }
  const ChipFamily family = core->channel()->family();
  if (source.sidecar &&
      (source.sidecar->family != family || source.sidecar->flashType != flashType)) {
    runNotes().note(FailureKind::BackupMismatch,
                    "it was read from chip family " + std::to_string(source.sidecar->family) +
                        " with " + source.sidecar->part + ", this camera is family " +
                        std::to_string(family) + " with " + partName(flashType));
    refuse();
    return;
  }
  const std::uint32_t partSize = FlashPartSize(flashType);
  if (partSize < size) {
    runNotes().note(FailureKind::BackupMismatch, "it holds " + std::to_string(size) +
                                                     " bytes, the camera's " + partName(flashType) +
                                                     " " + std::to_string(partSize));
    refuse();
    return;
  }

  // The protections of an update's write phase, in its order.
  if (core->CheckCameraInUse() == CameraUse::InUse) {
    runNotes().note(FailureKind::CameraInUse);
    refuse();
    return;
  }
  std::unique_ptr<IStreamHold> hold;
  if (core->HoldForWrite(hold) == CameraUse::InUse) {
    runNotes().note(FailureKind::CameraInUse);
    refuse();
    return;
  }
  MissingControl missing;
  const WriteRoute route = writtenByEngine(family) ? WriteRoute::Download : WriteRoute::HostSpi;
  if (CheckUpdateControls(*core->channel(), true, missing, route) == ControlCheck::Missing) {
    runNotes().note(missing.notSetUp ? FailureKind::RequestFailed : FailureKind::ControlMissing,
                    DescribeMissingControl(missing));
    refuse();
    return;
  }

  // The download pads its last block with 0xFF up to the block length the
  // chip announces: a backup that is not whole blocks would have the padding
  // written past its end, over flash the backup does not hold.
  if (writtenByEngine(family)) {
    std::uint32_t blockLength = 0;
    if (failed(core->channel()->GetControlLength(XU_DFU_DATA, &blockLength)) || blockLength == 0 ||
        size % blockLength != 0) {
      runNotes().note(FailureKind::BlockSizeMismatch,
                      "the camera's download blocks are " + std::to_string(blockLength) +
                          " bytes, the backup " + std::to_string(size));
      refuse();
      return;
    }
  }
  // What the flash holds now: only the sectors that differ are written by
  // the host, and a flash that cannot be read is not written.
  std::vector<std::uint8_t> current(size, 0);
  if (!writtenByEngine(family) &&
      !ReadFlashChecked(*core, current.data(), flashType, 0, size, ReadCheck::Twice)) {
    if (!runNotes().has(FailureKind::ReadoutUnsteady)) runNotes().note(FailureKind::ReadoutFailed);
    refuse();
    return;
  }
  // The report's and the history's digests are over the restored span.
  record.backupSpan = size;
  if (!writtenByEngine(family)) record.sha256BeforeBackup = Sha256Hex(current);
  if (writeGuard().StopRequested()) {
    runNotes().note(FailureKind::Interrupted);
    record.action = CameraAction::Stopped;
    record.passed = false;
    PrintCameraLine(record, "stopped, not written");
    return;
  }

  currentDevice_->SetUpdateObserver(&progress_);
  progress_.BeginUpdate();
  bool written = false;
  if (writtenByEngine(family)) {
    // The engine reads no byte beyond the image on these families; the
    // buffer is the update's all the same.
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[IMAGE_BUFFER_SIZE]());
    if (image != nullptr) {
      std::memcpy(image.get(), source.bytes.data(), size);
      updateStatus_ = UpdateStatus{};
      written = currentDevice_->DownloadFirmware(
                    image.get(), size, flashType, &updateStatus_.computedChecksum,
                    &updateStatus_.deviceChecksum, &updateStatus_.state, &updateStatus_.progress,
                    CCameraDevice::ImageCode::AsGiven) == STATUS_OK;
      record.updateRan = true;
      record.computedChecksum = updateStatus_.computedChecksum;
      record.deviceChecksum = updateStatus_.deviceChecksum;
      record.finalState = updateStatus_.state;
      record.enteredDownloadMode = currentDevice_->lastDownload().enteredDownloadMode;
      record.deviceChecksumRead = currentDevice_->lastDownload().deviceChecksumRead;
      if (record.enteredDownloadMode) record.sectorsWritten = size / kBackupSectorSize;
    }
  } else {
    const WritePhase writing;
    const HostWriteResult host =
        WriteSectorsByHost(*core, flashType, source.bytes, std::span<const std::uint8_t>(current));
    written = host.written;
    record.sectorsWritten = host.sectorsWritten;
  }
  progress_.EndUpdate(written);
  currentDevice_->SetUpdateObserver(nullptr);
  hold.reset();
  if (!written) {
    fail();
    return;
  }

  // The read-back, where the camera is after the download's reset (one
  // without an ID is read where it was).
  if (core->chipWasReset() && !record.cameraId.empty()) {
    record.cameBack = ReopenAfterReset(record.cameraId);
    if (!*record.cameBack) {
      record.verify = VerifyResult::Failed;
      runNotes().note(FailureKind::NotBackAfterReset);
      fail();
      return;
    }
    core = currentDevice_->core();
  }
  std::vector<std::uint8_t> readBack(size, 0);
  if (core == nullptr ||
      !ReadFlashChecked(*core, readBack.data(), flashType, 0, size, ReadCheck::Twice)) {
    record.verify = VerifyResult::Failed;
    if (!runNotes().has(FailureKind::ReadoutUnsteady)) runNotes().note(FailureKind::ReadBackFailed);
    fail();
    return;
  }
  record.sha256AfterBackup = Sha256Hex(readBack);
  const FlashDifference difference = compareBytes(source.bytes, readBack);
  if (difference.count != 0) {
    record.verify = VerifyResult::Failed;
    record.verifyDifference = difference;
    runNotes().note(FailureKind::RestoreMismatch,
                    std::to_string(difference.count) +
                        (difference.count == 1 ? " byte differs" : " bytes differ") +
                        ", the first at 0x" +
                        Hex4Text(static_cast<std::uint16_t>(difference.firstAddress)));
    fail();
    return;
  }
  record.verify = VerifyResult::Passed;
  record.passed = true;
  PrintCameraLine(record, "restored and verified");
}

int CFrontEnd::RunRestore(const CameraOptions& options) {
  runNotes().clear();
  anyOpened_ = false;
  textToError_ = false;
  RunReport report;
  report.mode = "restore";
  report.host = platform_.files.HostName();
  report.startedUtc = platform_.clock.UtcSeconds();
  report.restoreFile = Utf8Of(*options.restoreFile);

  // The file, its sidecar and every output are checked before any camera
  // is touched: a refusal here has sent nothing.
  RestoreSource source;
  const std::string refusal =
      loadSource(platform_.files, *options.restoreFile, options.force, source);
  if (!refusal.empty()) {
    platform_.console.WriteError("qvflash: " + refusal + "; nothing was done\n");
    return kUsageExitCode;
  }
  if (!CheckOutputs(options)) return RefuseOutputs();

  const DeferredStops stops;
  int result = kExitFailed;
  std::vector<ListedCamera> cameras;
  result = WalkCameras(options, cameras);
  if (result == kExitDone) {
    Print(msg::kChecking);
    // Every listed camera is looked at (nothing written) to find the one
    // target: with two, which one the backup is for is the person's word.
    std::vector<CameraRecord> targets;
    std::size_t chosen = 0;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      currentDevice_.reset();
      currentDevice_ = std::make_unique<CCameraDevice>(platform_);
      CameraRecord record;
      record.index = static_cast<std::int32_t>(i);
      record.cameraId = cameras[i].cameraId;
      record.time = UtcText(platform_.clock.UtcSeconds());
      if (currentDevice_->OpenListedCamera(CHIP_FAMILY_ANY, cameras[i]) != STATUS_OK) {
        runNotes().note(FailureKind::CameraNotOpened, "camera " + std::to_string(i));
        continue;
      }
      record.opened = true;
      anyOpened_ = true;
      RecordIdentity(*currentDevice_, record);
      if (!record.target) {
        NoteOtherCamera(record.index, record.vendor, record.product);
        continue;
      }
      if (targets.empty()) chosen = i;
      targets.push_back(record);
    }
    if (targets.size() > 1) {
      currentDevice_.reset();
      platform_.console.WriteError(
          "qvflash: " + std::to_string(targets.size()) +
          " target cameras are plugged in: name the one the backup is for with --camera ID "
          "(qvflash --list shows the IDs); nothing was done\n");
      return kUsageExitCode;
    }
    if (targets.empty()) {
      currentDevice_.reset();
      result = NoTargetExit();
    } else {
      CameraRecord& record = targets.front();
      const std::size_t mark = runNotes().notes().size();
      // With several cameras looked at, the target is opened again: the
      // chip-select value is that of the camera opened last.
      bool open = cameras.size() == 1;
      if (!open) {
        currentDevice_.reset();
        currentDevice_ = std::make_unique<CCameraDevice>(platform_);
        open = currentDevice_->OpenListedCamera(CHIP_FAMILY_ANY, cameras[chosen]) == STATUS_OK;
        if (!open)
          runNotes().note(FailureKind::CameraNotOpened, "camera " + std::to_string(chosen));
      }
      const std::uint64_t started = platform_.clock.NowMicroseconds();
      const std::size_t notesBefore = runNotes().notes().size();
      if (open) {
        RestoreTarget(source, record);
        SettleChanged(record);
        if (record.action == CameraAction::Restored || record.action == CameraAction::Refused)
          RecordHistory(record);
      } else {
        record.action = CameraAction::FailedToOpen;
        record.passed = false;
      }
      record.durationMs = (platform_.clock.NowMicroseconds() - started) / 1000u;
      if (const auto chief = CameraChiefNote(runNotes(), notesBefore);
          chief && record.passed != true) {
        record.reasonCode = ReasonCode(chief->kind);
        record.reason = ReasonText(*chief);
      }
      report.cameras.push_back(record);
      result = record.passed == true ? kExitDone
               : NotedSince(mark, {FailureKind::CameraInUse, FailureKind::CameraPrivacy})
                   ? kExitTryLater
                   : kExitFailed;
    }
  }
  currentDevice_.reset();
  EndReport(report, result);
  if (options.jsonFile) WriteReportFile(*options.jsonFile, report, result);
  Print(result == 0 ? msg::kPass : msg::kFail);
  if (platform_.console.OutputIsTerminal()) Print(L"\n");
  TellReason(result, anyOpened_);
  return result;
}

}  // namespace qv
