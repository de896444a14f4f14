// The run of the tool: switch, single instance, device loop, dump.
#include <memory>
#include <new>

#include "app/messages.h"
#include "app/update_job.h"
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

InformationRequest InformationRequestOf(std::span<const std::wstring> args) {
  if (args.empty()) return InformationRequest::None;
  const std::wstring& first = args[0];
  if (first == L"--help" || first == L"-h" || first == L"-?" || first == L"/?")
    return InformationRequest::Help;
  if (first == L"--version") return InformationRequest::Version;
  return InformationRequest::None;
}

CFrontEnd::CFrontEnd(const Platform& platform)
    : progress_(platform.console), platform_{platform.cameras,       platform.registry,
                                             platform.clock,         platform.files,
                                             platform.resources,     platform.profile,
                                             platform.instanceGuard, progress_} {}

CFrontEnd::~CFrontEnd() = default;

void CFrontEnd::Print(std::wstring_view text) { platform_.console.WriteWide(text); }

void CFrontEnd::PrintVerbose(std::wstring_view text) {
  if (verbose_ != 0) Print(text);
}

int CFrontEnd::Run(std::span<const std::wstring> args) {
  // Asking for help must never start an update (every other first
  // argument does): answered here, before the guard or any camera.
  switch (InformationRequestOf(args)) {
    case InformationRequest::Help:
      Print(msg::kUsage);
      return 0;
    case InformationRequest::Version:
      Print(msg::VersionLine());
      return 0;
    case InformationRequest::None:
      break;
  }

  // Only the first argument counts, compared exactly.
  if (!args.empty()) {
    if (args[0] == L"-dbg") {
      verbose_ = 1;
    } else if (args[0] == L"-dump") {
      dump_ = 1;
    }
  }

  std::int32_t result = 0;
  // The guard stays held until the process ends. Only its prior existence
  // stops the run (a guard the system cannot create does not).
  if (platform_.instanceGuard.Create(kSingleInstanceGuardName) ==
      IInstanceGuard::Result::AlreadyExists) {
    Print(msg::kAlreadyRunning);
    result = 1;
  } else {
    std::int32_t count = 0;
    (void)CountCameras(platform_, count);
    if (count <= 0) {
      PrintVerbose(msg::kNoCamera);
      result = 1;
    } else {
      Print(msg::kChecking);
      std::int32_t failure = 0;
      bool ended = false;
      for (std::int32_t i = 0; i < count && !ended; ++i) {
        currentDevice_.reset();
        currentDevice_ = std::make_unique<CCameraDevice>(platform_);
        if (currentDevice_->OpenCamera(CHIP_FAMILY_ANY, i) != STATUS_OK) {
          PrintVerbose(msg::DeviceInitFail(i));
          continue;
        }
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
        failure = 1;
      }
      if (!ended) result = failure;
    }
  }

  Print(result == 0 ? msg::kPass : msg::kFail);
  currentDevice_.reset();
  return result;
}

std::int32_t CFrontEnd::Dump() {
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[DUMP_SIZE]());
  bool good = false;
  if (buffer != nullptr) {
    std::uint8_t flashType = FLASH_TYPE_UNDEFINED;
    (void)currentDevice_->QueryFlashType(flashType);
    good = currentDevice_->DumpFlash(buffer.get(), flashType) == STATUS_OK;
  }
  // A read-out that failed is not written as if it were the flash: the file
  // would hold zeros (or stale blocks) where nothing was read.
  std::wstring path;
  FilePlace place{};
  if (!good || !ToolFilePath(platform_.files, L"Dump.bin", path, place) ||
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
