// Runs asked for with long options that work on cameras: the inventory
// (--list), updates only where needed (--if-needed), of every target camera
// (--all), verified by read-back (--verify), only the checks of an update
// (--dry-run), a dump into a named file (--dump FILE), and the JSON report of
// any of them (--json FILE).
#include <memory>
#include <new>

#include "app/backup_file.h"
#include "app/failure_reasons.h"
#include "app/history.h"
#include "app/inventory.h"
#include "app/messages.h"
#include "app/report.h"
#include "app/sha256.h"
#include "app/update_job.h"
#include "app/utc_time.h"
#include "flash/download_engine.h"
#include "platform/failure_notes.h"
#include "platform/file_places.h"
#include "platform/utf8.h"
#include "platform/write_phase.h"
#include "qvflash_version.h"

namespace qv {

std::string Utf8Of(std::wstring_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t c = wideCodePoint(text, i);
    appendUtf8(out, isScalarValue(c) ? c : 0xFFFD);
  }
  return out;
}

namespace {

// ASCII letters without case: Windows instance IDs are case-insensitive
// ("USB\VID_04F2&PID_B5BD\..." and "usb\vid_04f2&...").
bool sameCameraId(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The sector-pair route verifies by read-back itself.
bool verifiesItself(std::uint8_t flashType, ChipFamily family) {
  return flashType == 6 && family >= 102 && family <= 104;
}

}  // namespace

std::span<const std::uint8_t> CFrontEnd::EmbeddedImage() {
  return platform_.resources.FindBinary(FIRMWARE_RESOURCE_ID);
}

bool KeepCamera(std::wstring_view cameraId, std::vector<ListedCamera>& cameras) {
  const std::string wanted = Utf8Of(cameraId);
  for (ListedCamera& camera : cameras) {
    if (camera.cameraId.empty() || !sameCameraId(camera.cameraId, wanted)) continue;
    ListedCamera kept = std::move(camera);
    cameras.clear();
    cameras.push_back(std::move(kept));
    return true;
  }
  return false;
}

void CFrontEnd::PrintCameraLine(const CameraRecord& record, std::string_view what) {
  platform_.console.WriteError("Device " + std::to_string(record.index) + ": " + std::string(what) +
                               "\n");
}

int NoTargetExit() {
  const FailureNotes& notes = runNotes();
  return notes.has(FailureKind::CameraPrivacy) || notes.has(FailureKind::CameraInUse)
             ? kExitTryLater
             : kExitNoTarget;
}

bool NotedSince(std::size_t mark, std::initializer_list<FailureKind> kinds) {
  const std::vector<FailureNote>& notes = runNotes().notes();
  for (std::size_t i = mark; i < notes.size(); ++i) {
    for (const FailureKind kind : kinds) {
      if (notes[i].kind == kind) return true;
    }
  }
  return false;
}

namespace {

// The exit code of a camera run from what happened to each camera.
int contractExit(const CameraOptions& options, const std::vector<CameraRecord>& records) {
  bool failed = false;
  bool tryLater = false;
  bool reached = false;
  bool anyNotOpened = false;
  for (const CameraRecord& r : records) {
    if (r.action == CameraAction::FailedToOpen) {
      anyNotOpened = true;
      continue;
    }
    if (!options.list && !r.target) continue;
    reached = true;
    if (r.passed == true) continue;
    (r.tryLater ? tryLater : failed) = true;
  }
  if (failed) return kExitFailed;
  if (tryLater) return kExitTryLater;
  if (!reached) return NoTargetExit();
  // The listing is complete only when every counted camera was read; a
  // check cannot say "every camera" of a camera it could not read.
  if ((options.list || options.check) && anyNotOpened) return kExitFailed;
  return kExitDone;
}

// The line --check writes when every target camera holds this firmware:
// the only text on standard output, which a detection rule takes for
// "installed".
std::string checkedLine(const std::vector<CameraRecord>& records) {
  std::size_t count = 0;
  for (const CameraRecord& r : records) count += r.target ? 1 : 0;
  return "qvflash: every 04F2:B5BD camera holds this firmware (" + std::to_string(count) +
         (count == 1 ? " camera)\n" : " cameras)\n");
}

}  // namespace

void CFrontEnd::DryRunTarget(const CameraOptions& options, CameraRecord& record) {
  const std::size_t notesBefore = runNotes().notes().size();
  const std::int32_t result = UpdateFirmware({.readsBack = options.verify, .dryRun = true});
  record.passed = result == 0;
  if (result == 0) {
    record.action = CameraAction::WouldUpdate;
    PrintCameraLine(record, "would update");
    return;
  }
  record.action = CameraAction::WouldFail;
  record.tryLater = NotedSince(notesBefore, {FailureKind::CameraInUse, FailureKind::CameraPrivacy});
  const std::string why = CameraReason(runNotes(), notesBefore);
  PrintCameraLine(record, why.empty() ? "would fail" : "would fail: " + why);
}

void CFrontEnd::UpdateTarget(const CameraOptions& options, CameraRecord& record) {
  const std::span<const std::uint8_t> image = EmbeddedImage();
  // A dry run reads what the inventory reads (the state before, reported).
  if (options.ifNeeded || options.dryRun) {
    (void)RecordFirmwareState(*currentDevice_, image, record);
    if (options.ifNeeded && record.stateBefore == FirmwareState::Current) {
      record.action = CameraAction::SkippedUpToDate;
      record.passed = true;
      PrintCameraLine(
          record, options.dryRun ? "up to date, would not be written" : "up to date, not written");
      return;
    }
  }
  if (options.dryRun) {
    DryRunTarget(options, record);
    return;
  }

  record.action = CameraAction::Updated;
  updateFlashType_ = FLASH_TYPE_UNDEFINED;
  updateStatus_ = UpdateStatus{};
  const std::size_t mark = runNotes().notes().size();
  const std::int32_t result =
      UpdateFirmware({.readsBack = options.verify, .backupInto = makesBackup_ ? &record : nullptr});
  record.passed = result == 0;
  record.updateRan = updateFlashType_ != FLASH_TYPE_UNDEFINED;
  record.computedChecksum = updateStatus_.computedChecksum;
  record.deviceChecksum = updateStatus_.deviceChecksum;
  record.finalState = updateStatus_.state;
  record.enteredDownloadMode = currentDevice_->lastDownload().enteredDownloadMode;
  record.deviceChecksumRead = currentDevice_->lastDownload().deviceChecksumRead;
  // What the update identified, when the inventory's read did not run.
  const CCameraDevice::FlashIdAnswer& id = currentDevice_->lastFlashId();
  if (!record.flashAsked && id.command != 0) {
    record.flash = FlashIdentity{id.flashType, id.command, id.reply};
    record.flashAsked = true;
  }
  if (result != 0) {
    record.tryLater = NotedSince(mark, {FailureKind::CameraInUse, FailureKind::CameraPrivacy});
    if (NotedSince(mark, {FailureKind::Interrupted})) {
      record.action = CameraAction::Stopped;
      PrintCameraLine(record, "stopped, not written");
    } else if (!record.updateRan) {
      // Refused before the engine's first request: nothing was written.
      record.action = CameraAction::Refused;
      PrintCameraLine(record, "not written");
    } else {
      PrintCameraLine(record, "update failed");
    }
    return;
  }
  if (!options.verify) {
    PrintCameraLine(record, "updated");
    return;
  }

  // The read-back: what the update wrote, compared with the flash.
  CCameraCore* core = currentDevice_->core();
  if (verifiesItself(updateFlashType_, record.family)) {
    record.verify = VerifyResult::Passed;
    PrintCameraLine(record, "updated and verified");
    return;
  }
  // The reset that ended the download took the camera off the bus: it is
  // read where it comes back (a camera without an ID cannot be found again
  // and is read where it was).
  if (core != nullptr && core->chipWasReset() && !record.cameraId.empty()) {
    record.cameBack = ReopenAfterReset(record.cameraId);
    if (!*record.cameBack) {
      record.verify = VerifyResult::Failed;
      record.passed = false;
      runNotes().note(FailureKind::NotBackAfterReset);
      PrintCameraLine(record, "verify failed: the camera did not come back after its reset");
      return;
    }
    core = currentDevice_->core();
  }
  ExpectedFlash expected;
  FirmwareCheck check;
  if (core != nullptr && expected.Build(record.family, updateFlashType_, image)) {
    // Over the backup's span too, where one was made: the digest after is
    // then comparable with the backup's.
    check = CheckFirmware(*core, updateFlashType_, expected, ReadCheck::Twice, record.backupSpan);
    record.imageSpan = expected.readEnd();
  }
  if (!check.readOut.empty()) {
    const std::span<const std::uint8_t> read(check.readOut);
    record.sha256AfterImage = Sha256Hex(read.first(expected.readEnd()));
    if (record.backupSpan != 0 && read.size() >= record.backupSpan)
      record.sha256AfterBackup = Sha256Hex(read.first(record.backupSpan));
  }
  if (check.state == FirmwareState::Current) {
    record.verify = VerifyResult::Passed;
    PrintCameraLine(record, "updated and verified");
    return;
  }
  record.verify = VerifyResult::Failed;
  record.passed = false;
  if (check.state == FirmwareState::Unknown) {
    runNotes().note(FailureKind::ReadBackFailed);
    PrintCameraLine(record, "verify failed: the flash could not be read back");
    return;
  }
  record.verifyDifference = check.difference;
  const std::string detail = std::to_string(check.difference.count) +
                             (check.difference.count == 1 ? " byte differs" : " bytes differ") +
                             ", the first at 0x" +
                             Hex4Text(static_cast<std::uint16_t>(check.difference.firstAddress));
  runNotes().note(FailureKind::VerifyMismatch, detail);
  PrintCameraLine(record, "verify failed: " + detail);
}

// A real camera comes back from its chip reset as a new device on the same
// port (Linux: under another /dev/videoN, the old node answering ENODEV;
// Windows: the old filter handle dies). The wait is bounded on the platform
// clock: the boot and enumeration take about a second, and 15 s leaves room
// for a slow hub without hanging a script.
constexpr std::uint32_t kReturnPollMs = 500;
constexpr std::uint64_t kReturnWaitMs = 15'000;

bool CFrontEnd::ReopenAfterReset(const std::string& cameraId) {
  // The per-camera objects go first: what they hold is the device that left.
  currentDevice_.reset();
  currentDevice_ = std::make_unique<CCameraDevice>(platform_);
  CCameraCore* core = currentDevice_->core();
  if (core == nullptr) return false;
  const std::size_t mark = runNotes().notes().size();
  const std::uint64_t started = platform_.clock.NowMicroseconds();
  bool back = false;
  while (!back) {
    platform_.clock.Sleep(kReturnPollMs);
    back = core->OpenCameraById(CHIP_FAMILY_ANY, cameraId) == STATUS_OK;
    if (platform_.clock.NowMicroseconds() - started >= kReturnWaitMs * 1000) break;
  }
  // What the tries met while the camera was away (its old node going) is
  // not the reason: it came back, or it did not.
  runNotes().dropAfter(mark);
  return back;
}

std::int32_t CFrontEnd::RunCameraLoop(const CameraOptions& options,
                                      std::vector<ListedCamera>& cameras,
                                      std::vector<CameraRecord>& records) {
  // The cameras as listed at the start, each opened by its ID: a camera
  // that re-enumerates meanwhile moves no other one, and a camera with two
  // capture functions is one entry, written once.
  const auto count = static_cast<std::int32_t>(cameras.size());
  for (std::int32_t i = 0; i < count; ++i) {
    // A stop asked for (Ctrl-C) ends the run before the next camera.
    if (writeGuard().StopRequested()) {
      runNotes().note(FailureKind::Interrupted);
      return kExitFailed;
    }
    currentDevice_.reset();
    currentDevice_ = std::make_unique<CCameraDevice>(platform_);
    CameraRecord record;
    record.index = i;
    record.cameraId = cameras[i].cameraId;
    record.time = UtcText(platform_.clock.UtcSeconds());
    const std::uint64_t started = platform_.clock.NowMicroseconds();
    const std::size_t notesBefore = runNotes().notes().size();
    auto finish = [&] {
      record.durationMs = (platform_.clock.NowMicroseconds() - started) / 1000u;
      // A camera passed over as another make's has the action for reason.
      const bool unexplained =
          record.action == CameraAction::FailedToOpen || record.passed == false;
      if (const auto chief = CameraChiefNote(runNotes(), notesBefore); chief && unexplained) {
        record.reasonCode = ReasonCode(chief->kind);
        record.reason = ReasonText(*chief);
      }
      records.push_back(record);
    };
    if (currentDevice_->OpenListedCamera(CHIP_FAMILY_ANY, cameras[i]) != STATUS_OK) {
      PrintVerbose(msg::DeviceInitFail(i));
      runNotes().note(FailureKind::CameraNotOpened, "camera " + std::to_string(i));
      record.action = CameraAction::FailedToOpen;
      record.path = currentDevice_->core() != nullptr ? currentDevice_->core()->devicePath() : "";
      finish();
      continue;
    }
    record.opened = true;
    anyOpened_ = true;
    RecordIdentity(*currentDevice_, record);

    // A check reads what the inventory reads, of every camera; only the
    // target cameras decide it.
    if (options.list || options.check) {
      record.action = CameraAction::Listed;
      (void)RecordFirmwareState(*currentDevice_, EmbeddedImage(), record);
      record.passed = record.stateBefore != FirmwareState::Unknown;
      if (options.check && !record.target) NoteOtherCamera(i, record.vendor, record.product);
      if (options.check && record.target) {
        record.passed = record.stateBefore == FirmwareState::Current;
        if (record.stateBefore == FirmwareState::Differs)
          runNotes().note(FailureKind::FirmwareDiffers, "camera " + std::to_string(i));
      }
      finish();
      continue;
    }
    // An update, and the dump of the long option, are for a target camera
    // only (the dump switch keeps reading whichever camera opens first).
    if (!record.target) {
      PrintVerbose(msg::DeviceMismatch(i, record.vendor, record.product));
      NoteOtherCamera(i, record.vendor, record.product);
      record.action = CameraAction::NotTarget;
      finish();
      continue;
    }
    if (options.dumpFile) {
      record.action = CameraAction::Dumped;
      const std::int32_t result =
          DumpTo(*options.dumpFile, FilePlace::BesideExecutable, ReadCheck::Twice, &record);
      record.passed = result == 0;
      finish();
      break;
    }
    PrintVerbose(msg::DeviceMatch(i, TARGET_VID, TARGET_PID));
    UpdateTarget(options, record);
    SettleChanged(record);
    // A camera that was written, or that an update tried to write.
    if (record.action == CameraAction::Updated || record.action == CameraAction::Refused)
      RecordHistory(record);
    finish();
    if (!options.all || record.action == CameraAction::Stopped) break;
  }
  return contractExit(options, records);
}

void CFrontEnd::WriteReportFile(const std::wstring& path, const RunReport& report, int& result) {
  const std::string text = ReportJson(report, SummarizeFirmware(EmbeddedImage()), kQvflashVersion);
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  if (!platform_.files.WriteFile(path, bytes)) {
    runNotes().note(FailureKind::FileNotWritten, "the report " + Utf8Of(path));
    result = kExitFailed;
  }
}

void CFrontEnd::EndReport(RunReport& report, int result) {
  report.exitCode = result;
  report.endedUtc = platform_.clock.UtcSeconds();
  if (const FailureNote* chief = ChiefNote(runNotes()); chief != nullptr && result != kExitDone) {
    report.reasonCode = ReasonCode(chief->kind);
    report.reason = ReasonText(*chief);
  }
}

int CFrontEnd::RefuseOutputs() {
  const FailureNote* chief = ChiefNote(runNotes());
  std::string reason =
      chief != nullptr ? ReasonLines(*chief, false) : std::string(kUnexplainedFailure);
  reason.insert(reason.size() - 1, "; nothing was done");
  platform_.console.WriteError(reason);
  return kUsageExitCode;
}

int CFrontEnd::WalkCameras(const CameraOptions& options, std::vector<ListedCamera>& cameras) {
  if (platform_.instanceGuard.Create(kSingleInstanceGuardName) ==
      IInstanceGuard::Result::AlreadyExists) {
    runNotes().note(FailureKind::AnotherCopy);
    Print(msg::kAlreadyRunning);
    return kExitTryLater;
  }
  (void)ListCameras(platform_, cameras);
  if (options.cameraId && !cameras.empty() && !KeepCamera(*options.cameraId, cameras)) {
    runNotes().note(FailureKind::CameraIdNotFound, Utf8Of(*options.cameraId));
    cameras.clear();
    return kExitNoTarget;
  }
  if (cameras.empty()) {
    runNotes().note(FailureKind::NoCamera);
    PrintVerbose(msg::kNoCamera);
    return NoTargetExit();
  }
  return kExitDone;
}

bool CFrontEnd::CheckOutputs(const CameraOptions& options) {
  IFileSystem& files = platform_.files;
  if (options.jsonFile && *options.jsonFile != kStandardOutputName &&
      !files.CheckWritable(*options.jsonFile))
    return false;
  if (options.dumpFile && !files.CheckWritable(*options.dumpFile)) return false;
  // The backup of an update, and of its dry run: the file named for it and
  // its sidecar, or the folder its own name goes to (created here).
  if (options.list || options.check || options.dumpFile || options.restoreFile || options.noBackup)
    return true;
  if (options.backupFile) {
    return files.CheckWritable(*options.backupFile) &&
           files.CheckWritable(*options.backupFile + std::wstring(kSidecarSuffix));
  }
  std::wstring folder;
  if (!KeptFilesFolder(files, kBackupSubfolder, folder)) return false;
  // The longest name a backup gets, with its sidecar's suffix.
  const std::wstring longest = folder +
                               BackupFileName(std::string(64, 'x'), 1, std::string(64, '0')) +
                               std::wstring(kSidecarSuffix);
  if (!FitsPathLimit(files, longest)) {
    runNotes().note(FailureKind::PathTooLong,
                    files.PathForMessage(folder) + ": a backup's name does not fit after it");
    return false;
  }
  return files.CheckWritable(longest);
}

std::int32_t CFrontEnd::MakeBackup(std::uint8_t flashType, CameraRecord& record) {
  CCameraCore* core = currentDevice_->core();
  // Every address the tool reads or writes lies in the first 64 KB.
  const std::uint32_t partSize = FlashPartSize(flashType);
  const std::uint32_t size =
      partSize != 0 && partSize < kBackupSpanLimit ? partSize : kBackupSpanLimit;
  std::vector<std::uint8_t> bytes(size);
  const std::size_t mark = runNotes().notes().size();
  if (core == nullptr ||
      !ReadFlashChecked(*core, bytes.data(), flashType, 0, size, ReadCheck::Twice)) {
    // Two read-outs that differed twice say so themselves.
    if (!NotedSince(mark, {FailureKind::ReadoutUnsteady}))
      runNotes().note(FailureKind::BackupNotRead);
    return 1;
  }
  const std::string sha = Sha256Hex(bytes);
  const std::int64_t now = platform_.clock.UtcSeconds();
  std::wstring path = backupFile_;
  if (path.empty()) {
    std::wstring folder;
    if (!KeptFilesFolder(platform_.files, kBackupSubfolder, folder)) return 1;
    path = folder + BackupFileName(record.cameraId, now, sha);
  }
  BackupSidecar sidecar;
  sidecar.cameraId = record.cameraId;
  sidecar.family = record.family;
  // The update hands the engine a part of the tables (identified, or the
  // assumed one).
  sidecar.part = FlashPartName(flashType);
  sidecar.flashType = flashType;
  sidecar.size = size;
  sidecar.sha256 = sha;
  sidecar.time = UtcText(now);
  sidecar.toolVersion = kQvflashVersion;
  const std::string sidecarText = SidecarJson(sidecar);
  if (!platform_.files.WriteFile(path, bytes)) return 1;
  if (!platform_.files.WriteFile(
          path + std::wstring(kSidecarSuffix),
          std::span(reinterpret_cast<const std::uint8_t*>(sidecarText.data()),
                    sidecarText.size()))) {
    // A backup without its sidecar is not one a restore takes as it is.
    (void)platform_.files.RemoveFile(path);
    return 1;
  }
  record.backupSpan = size;
  record.sha256BeforeBackup = sha;
  record.backupPath = Utf8Of(path);
  // The image's span lies within the backup's: its digest before needs no
  // read of its own.
  ExpectedFlash expected;
  if (record.sha256BeforeImage.empty() &&
      expected.Build(record.family, flashType, EmbeddedImage()) && expected.readEnd() <= size) {
    record.imageSpan = expected.readEnd();
    record.sha256BeforeImage =
        Sha256Hex(std::span<const std::uint8_t>(bytes).first(expected.readEnd()));
  }
  PrintCameraLine(record, "backup " + platform_.files.PathForMessage(path));
  return 0;
}

void CFrontEnd::RecordHistory(const CameraRecord& record) {
  HistoryEntry entry;
  entry.time = record.time;
  entry.toolVersion = kQvflashVersion;
  entry.cameraId = record.cameraId;
  if (record.identityFound) entry.usb = Hex4Text(record.vendor) + ":" + Hex4Text(record.product);
  if (record.opened) entry.chipFamily = record.family;
  if (record.flashAsked) entry.part = FlashPartName(record.flash.flashType);
  entry.action = CameraActionName(record.action);
  entry.result = record.passed.value_or(false) ? "pass" : "fail";
  // The backup's span where one was made: the digest before is the
  // backup's own.
  const bool backedUp = !record.sha256BeforeBackup.empty();
  entry.sha256Before = backedUp ? record.sha256BeforeBackup : record.sha256BeforeImage;
  entry.sha256After = backedUp ? record.sha256AfterBackup : record.sha256AfterImage;
  if (backedUp || record.imageSpan != 0)
    entry.span = backedUp ? record.backupSpan : record.imageSpan;
  entry.backup = record.backupPath;
  // A history that cannot be written is told, never the run's failure.
  const std::size_t mark = runNotes().notes().size();
  std::wstring path;
  if (AppendHistory(platform_.files, entry, path)) return;
  const FailureNote* why = runNotes().notes().size() > mark ? &runNotes().notes()[mark] : nullptr;
  std::string where = path.empty() ? std::string() : platform_.files.PathForMessage(path);
  if (why != nullptr && !why->detail.empty()) where = why->detail;
  runNotes().dropAfter(mark);
  platform_.console.WriteError("qvflash: warning: the history could not be written" +
                               (where.empty() ? std::string() : " (" + where + ")") + "\n");
}

void SettleChanged(CameraRecord& record) {
  if (!record.sha256BeforeBackup.empty() && !record.sha256AfterBackup.empty()) {
    record.changed = record.sha256BeforeBackup != record.sha256AfterBackup;
  } else if (!record.sha256BeforeImage.empty() && !record.sha256AfterImage.empty()) {
    record.changed = record.sha256BeforeImage != record.sha256AfterImage;
  } else {
    // Nothing read after: a writing request that the chip took.
    record.changed = record.enteredDownloadMode;
  }
}

int CFrontEnd::RunCameraOptions(const CameraOptions& options) {
  RunReport report;
  report.mode =
      options.list ? "list" : (options.check ? "check" : (options.dumpFile ? "dump" : "update"));
  report.host = platform_.files.HostName();
  report.startedUtc = platform_.clock.UtcSeconds();
  report.ifNeeded = options.ifNeeded;
  report.all = options.all;
  report.verify = options.verify;
  report.dryRun = options.dryRun;
  if (options.dumpFile) report.dumpFile = Utf8Of(*options.dumpFile);
  const bool reportOnStandardOutput = options.jsonFile && *options.jsonFile == kStandardOutputName;
  // Standard output then holds the report alone (or, of a check, its one
  // line): the tool's own texts go to standard error.
  textToError_ = reportOnStandardOutput || options.check;

  // The reasons told at the end are this run's.
  runNotes().clear();
  anyOpened_ = false;
  makesBackup_ =
      !options.list && !options.check && !options.dumpFile && !options.noBackup && !options.dryRun;
  backupFile_ = options.backupFile.value_or(std::wstring());
  if (options.dumpFile) dump_ = 1;

  // Every file the run writes is checked before any camera is touched: a
  // report that cannot be written must not be found out after an update
  // (the rerun it asks for would write the camera again).
  if (!CheckOutputs(options)) return RefuseOutputs();

  // From here a Ctrl-C stops the run before its next write, and the report
  // still tells what was done.
  const DeferredStops stops;
  std::int32_t result = kExitFailed;
  bool listed = false;
  std::vector<ListedCamera> cameras;
  result = WalkCameras(options, cameras);
  if (result == kExitDone) {
    if (!options.list && !options.check) Print(msg::kChecking);
    result = RunCameraLoop(options, cameras, report.cameras);
  }
  // Without another copy, a listing is printed (an empty one too).
  listed = options.list && !runNotes().has(FailureKind::AnotherCopy);
  currentDevice_.reset();
  EndReport(report, result);

  if (options.jsonFile && !reportOnStandardOutput)
    WriteReportFile(*options.jsonFile, report, result);
  // The report on standard output is written whatever happened: a reader
  // of it always gets JSON.
  if (reportOnStandardOutput) {
    platform_.console.WriteNarrow(
        ReportJson(report, SummarizeFirmware(EmbeddedImage()), kQvflashVersion));
  } else if (listed) {
    platform_.console.WriteNarrow(FormatInventory(report.cameras));
  }
  // A check says nothing on standard output unless every camera holds
  // this firmware: the reason goes to standard error.
  if (options.check) {
    if (result == kExitDone) platform_.console.WriteNarrow(checkedLine(report.cameras));
    TellReason(result, true);
    return result;
  }
  if (listed || reportOnStandardOutput) {
    // A listing that did nothing is not an update that did nothing.
    TellReason(result, true);
    return result;
  }
  Print(result == 0 ? msg::kPass : msg::kFail);
  // On a terminal the prompt that follows gets a line of its own.
  if (platform_.console.OutputIsTerminal()) Print(L"\n");
  TellReason(result, anyOpened_);
  return result;
}

}  // namespace qv
