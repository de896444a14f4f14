// The run of the tool: switch, single instance, device loop, dump.
#include <memory>
#include <new>
#include <string>

#include "app/failure_reasons.h"
#include "app/inventory.h"
#include "app/messages.h"
#include "app/options.h"
#include "app/update_job.h"
#include "flash/firmware_state.h"
#include "flash/flash_tables.h"
#include "platform/file_places.h"

namespace qv {

bool ExecutableSiblingPath(IFileSystem& files, std::wstring_view name, std::wstring& path) {
  std::wstring executable;
  if (!files.ExecutablePath(executable)) return false;
  const std::size_t cut = executable.rfind(files.PathSeparator());
  if (cut == std::wstring::npos) return false;
  std::wstring result = executable.substr(0, cut + 1);
  result.append(name);
  // The folder and the name must fit, terminator included, the platform's
  // limit (MAX_PATH on Windows); a longer path is refused rather than cut.
  if (!FitsPathLimit(files, result)) return false;
  path = std::move(result);
  return true;
}

CFrontEnd::CFrontEnd(const Platform& platform)
    : progress_(platform.console), platform_{platform.cameras,       platform.registry,
                                             platform.clock,         platform.files,
                                             platform.resources,     platform.profile,
                                             platform.instanceGuard, progress_} {}

CFrontEnd::~CFrontEnd() = default;

void CFrontEnd::Print(std::wstring_view text) {
  if (textToError_) {
    platform_.console.WriteError(msg::Narrow(text));
    return;
  }
  platform_.console.WriteWide(text);
}

void CFrontEnd::PrintVerbose(std::wstring_view text) {
  if (verbose_ != 0) Print(text);
}

int CFrontEnd::Run(std::span<const std::wstring> args) {
  // A command line that is not a run of the tool is answered here, before
  // the guard or any camera: nothing is sent, nothing written.
  const CommandLine line = ParseCommandLine(args);
  if (!line.ignored.empty()) platform_.console.WriteError(line.ignored + "\n");
  switch (line.kind) {
    case RunKind::Refused:
      platform_.console.WriteError(line.refusal + "\n" + msg::Narrow(msg::kUsage));
      return kUsageExitCode;
    case RunKind::Options:
      return RunOptions(line);
    case RunKind::VerboseUpdate:
      verbose_ = 1;
      break;
    case RunKind::Dump:
      dump_ = 1;
      break;
    case RunKind::Update:
      break;
  }

  // The reasons told at the end are this run's.
  runNotes().clear();
  std::int32_t result = 0;
  bool anyOpened = false;
  // The guard stays held until the process ends. Only its prior existence
  // stops the run (a guard the system cannot create does not).
  if (platform_.instanceGuard.Create(kSingleInstanceGuardName) ==
      IInstanceGuard::Result::AlreadyExists) {
    Print(msg::kAlreadyRunning);
    runNotes().note(FailureKind::AnotherCopy);
    result = 1;
  } else {
    std::int32_t count = 0;
    (void)CountCameras(platform_, count);
    if (count <= 0) {
      PrintVerbose(msg::kNoCamera);
      runNotes().note(FailureKind::NoCamera);
      result = 1;
    } else {
      Print(msg::kChecking);
      std::int32_t failure = 0;
      bool ended = false;
      for (std::int32_t i = 0; i < count && !ended; ++i) {
        currentDevice_.reset();
        currentDevice_ = std::make_unique<CCameraDevice>(platform_);
        const std::int32_t opened = currentDevice_->OpenCamera(CHIP_FAMILY_ANY, i);
        if (opened != STATUS_OK) {
          PrintVerbose(msg::DeviceInitFail(i));
          runNotes().note(FailureKind::CameraNotOpened, "camera " + std::to_string(i));
          continue;
        }
        anyOpened = true;
        if (dump_ != 0) {
          result = Dump();
          ended = true;
          break;
        }
        CAMERA_USB_INFO info{};
        (void)currentDevice_->GetUsbInfo(info);
        if (info.vendor == TARGET_VID && info.product == TARGET_PID) {
          PrintVerbose(msg::DeviceMatch(i, TARGET_VID, TARGET_PID));
          if (verbose_ != 0) currentDevice_->SetTraceFlag(1);
          result = UpdateFirmware();
          PrintVerbose(msg::UpdateResult(result));
          ended = true;
          break;
        }
        PrintVerbose(msg::DeviceMismatch(i, info.vendor, info.product));
        NoteOtherCamera(i, info.vendor, info.product);
        failure = 1;
      }
      // A dump that found no camera to read has not happened: reporting
      // "Pass" would let a script take an older Dump.bin for this one.
      if (!ended) result = dump_ != 0 && !anyOpened ? 1 : failure;
    }
  }

  Print(result == 0 ? msg::kPass : msg::kFail);
  // On a terminal the prompt that follows gets a line of its own; a script
  // reading the output still gets the word alone.
  if (platform_.console.OutputIsTerminal()) Print(L"\n");
  currentDevice_.reset();
  TellReason(result, anyOpened);
  return result;
}

void CFrontEnd::TellReason(std::int32_t result, bool anyOpened) {
  const FailureNotes& notes = runNotes();
  if (result == 0) {
    // The specified "Pass" of an update in which no counted camera opened
    // is kept for fleet scripts; the person is told that nothing happened.
    if (dump_ == 0 && !anyOpened) {
      platform_.console.WriteError(kNothingUpdated);
      if (const FailureNote* chief = ChiefNote(notes))
        platform_.console.WriteError(ReasonLines(*chief, verbose_ != 0));
    }
    return;
  }
  const FailureNote* chief = ChiefNote(notes);
  platform_.console.WriteError(chief != nullptr ? ReasonLines(*chief, verbose_ != 0)
                                                : std::string(kUnexplainedFailure));
}

int CFrontEnd::RunOptions(const CommandLine& line) {
  const OptionSet& options = line.options;
  if (options.has(LongOption::Help)) {
    Print(msg::kUsage);
    return 0;
  }
  if (options.has(LongOption::Version)) {
    Print(msg::VersionLine());
    platform_.console.WriteNarrow(FirmwareVersionLines(EmbeddedImage()));
    return 0;
  }
  const CameraOptions cameraOptions = CameraOptionsOf(line);
  // A code the system would pass on cut to 8 bits (Linux) is not the one
  // the management tool was told to expect.
  if (cameraOptions.retryCode && *cameraOptions.retryCode > platform_.console.LargestExitCode()) {
    platform_.console.WriteError(
        "qvflash: --retry-code " + std::to_string(*cameraOptions.retryCode) +
        " is larger than this system's exit codes go (" +
        std::to_string(platform_.console.LargestExitCode()) + "); nothing was done\n");
    return kUsageExitCode;
  }
  int code = 0;
  if (cameraOptions.history) {
    code = RunHistory(cameraOptions);
  } else if (cameraOptions.restoreFile) {
    code = RunRestore(cameraOptions);
  } else {
    code = RunCameraOptions(cameraOptions);
  }
  // "Try again later" in the number the management system knows.
  return code == kExitTryLater && cameraOptions.retryCode
             ? static_cast<int>(*cameraOptions.retryCode)
             : code;
}

std::int32_t CFrontEnd::Dump() {
  std::wstring path;
  FilePlace place = FilePlace::BesideExecutable;
  if (!ToolFilePath(platform_.files, L"Dump.bin", path, place)) path.clear();
  return DumpTo(path, place, ReadCheck::Once, nullptr);
}

std::int32_t CFrontEnd::DumpTo(const std::wstring& path, FilePlace place, ReadCheck check,
                               CameraRecord* record) {
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[DUMP_SIZE]());
  bool good = false;
  if (buffer != nullptr) {
    const FlashIdentity identity = IdentifyFlash(*currentDevice_);
    if (record != nullptr) {
      record->flash = identity;
      record->flashAsked = true;
    }
    CCameraCore* core = currentDevice_->core();
    if (check == ReadCheck::Once) {
      good = currentDevice_->DumpFlash(buffer.get(), identity.flashType) == STATUS_OK;
    } else if (core != nullptr) {
      good = ReadFlashChecked(*core, buffer.get(), identity.flashType, 0, DUMP_SIZE, check);
    }
  }
  // A read-out that failed is not written as if it were the flash: the file
  // would hold zeros (or stale blocks) where nothing was read.
  if (!good) {
    runNotes().note(FailureKind::ReadoutFailed);
  }
  if (!good || path.empty() ||
      !platform_.files.WriteFile(path, std::span<const std::uint8_t>(buffer.get(), DUMP_SIZE))) {
    Print(msg::kDumpFail);
    return 1;
  }
  TellPlace(platform_, place, "Dump.bin written to ", path);
  Print(msg::kDumpOk);
  return 0;
}

int RunQvflash(std::span<const std::wstring> args, const Platform& platform) {
  CFrontEnd frontEnd(platform);
  return frontEnd.Run(args);
}

}  // namespace qv
