// The firmware download engine: the chip's download mode with checksum
// verification, and the flash protection operations.
#include "flash/download_engine.h"

#include "platform/failure_notes.h"
#include "platform/write_phase.h"

#include "flash/checked_flash_ops.h"
#include "platform/file_places.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace qv {

namespace {

constexpr wchar_t kSettingFileName[] = L"setting.ini";
// The profile value is read into a buffer of this many characters.
constexpr std::uint32_t kProfileValueSize = 10;

// The full path of setting.ini in the tool's folder (beside the executable,
// or the current directory for an installed copy); false when that folder
// cannot be told or the path would not fit the platform's limit (the GPIO
// preparation is then skipped, as for a missing file).
bool settingFilePath(IFileSystem& files, std::wstring& path) {
  FilePlace place{};
  return ToolFilePath(files, kSettingFileName, path, place);
}

// Sets GPIO_PREPARE_BIT in a GPIO register, keeping its other lines. A read
// that failed leaves the register alone: its filler (0xFF) written back would
// drive every line of the port high.
void setGpioBit(CCameraCore& core, std::uint16_t address) {
  std::uint8_t value = 0;
  if (failed(core.ReadRegister(address, value))) return;
  (void)core.WriteRegister(address, static_cast<std::uint8_t>(value | GPIO_PREPARE_BIT));
}

// The request and status bookkeeping of one download.
class Download {
 public:
  Download(CCameraCore& core, CXuChannel& channel, std::uint8_t* state, std::uint8_t* progress)
      : core_(core), channel_(channel), state_(state), progress_(progress) {}

  void report(std::uint8_t state, std::uint8_t progress) {
    if (state_ != nullptr) *state_ = state;
    if (progress_ != nullptr) *progress_ = progress;
    core_.NotifyUpdateStatus(state, progress);
  }

  // The one-byte SET requests share one request byte.
  HResult setByte(std::uint32_t selector, std::uint8_t value) {
    requestByte_ = value;
    return channel_.SetControl(selector, 1, &requestByte_);
  }

  std::uint8_t& requestByte() { return requestByte_; }

 private:
  CCameraCore& core_;
  CXuChannel& channel_;
  std::uint8_t* state_;
  std::uint8_t* progress_;
  std::uint8_t requestByte_ = 0;
};

// UnprotectFlash and ProtectFlash: the status register write with the
// enable-write-status command for the raw class code 1 only. `written`
// tells whether the register holds the value with every request of the
// write succeeded.
std::int32_t writeProtection(CCameraDevice& device, std::uint8_t flashType, std::uint8_t value,
                             bool& written) {
  written = false;
  if (!IsAcceptedFlashType(flashType)) return STATUS_REFUSED;
  CCameraCore* core = device.core();
  if (core == nullptr || core->channel() == nullptr) return STATUS_REFUSED;
  if (!DownloadProfileOf(core->channel()->family()).writesProtection) return STATUS_REFUSED;
  written = WriteFlashStatusChecked(*core, value, flashType == 1 ? 1 : 0);
  return STATUS_OK;
}

// A verbose run is told when the machine may sleep during the write (the
// guard has no system bus or the system refused); the update goes on.
void tellSleepHold(const Platform& platform, std::int32_t traceFlag, const WritePhase& writing) {
  if (traceFlag != 0 && !writing.sleepHoldNote().empty())
    platform.console.WriteError(writing.sleepHoldNote());
}

}  // namespace

std::int32_t CCameraDevice::UnprotectFlash(std::uint8_t flashType) {
  bool written = false;
  return writeProtection(*this, flashType, FLASH_STATUS_UNPROTECTED, written);
}

std::int32_t CCameraDevice::ProtectFlash(std::uint8_t flashType) {
  bool written = false;
  return writeProtection(*this, flashType, FLASH_STATUS_PROTECTED, written);
}

std::int32_t CCameraDevice::DownloadFirmware(std::uint8_t* image, std::uint32_t length,
                                             std::uint8_t flashType, std::uint8_t* computedChecksum,
                                             std::uint8_t* deviceChecksum, std::uint8_t* state,
                                             std::uint8_t* progress, ImageCode imageCode) {
  lastDownload_ = DownloadFacts{};
  if (!IsAcceptedFlashType(flashType)) return STATUS_REFUSED;
  CXuChannel* channel = core_ != nullptr ? core_->channel() : nullptr;
  const ChipFamily family = channel != nullptr ? channel->family() : CHIP_FAMILY_NONE;
  const Platform& platform = platform_;
  auto trace = [&](const char* text) {
    if (traceFlag_ != 0) platform.console.WriteNarrow(text);
  };

  if (image != nullptr && core_ != nullptr && imageCode == ImageCode::Patch)
    core_->PatchImageFlashCode(image, flashType);
  if (state != nullptr) *state = UPD_START;
  if (progress != nullptr) *progress = PROGRESS_START;
  if (core_ != nullptr) core_->NotifyUpdateStatus(UPD_START, PROGRESS_START);

  // Raw class 6 on families 102 to 104: the host programs the flash itself.
  if (flashType == 6 && family >= 102 && family <= 104) {
    trace("MX32\n");
    if (image == nullptr) {
      trace("NULL FW\n");
      return STATUS_FAIL;
    }
    // The route erases and programs the flash from its first request on,
    // and compares what it reads back instead of a chip's checksum.
    const WritePhase writing;
    tellSleepHold(platform, traceFlag_, writing);
    lastDownload_ = DownloadFacts{true, true};
    return core_->ProgramBySectorPairs(image, length, computedChecksum, deviceChecksum, state,
                                       progress) == 1
               ? STATUS_OK
               : STATUS_FAIL;
  }

  if (image == nullptr) {
    trace("NULL FW\n");
    return STATUS_FAIL;
  }
  if (channel == nullptr) {
    trace("NULL pointer.\n");
    return STATUS_FAIL;
  }

  CCameraCore& core = *core_;
  const DownloadFamilyProfile& profile = DownloadProfileOf(family);
  Download dl(core, *channel, state, progress);
  // Results the download does not retry but that decide whether the flash
  // holds what the update reports: any of them failing fails the update.
  bool unreported = false;

  // GPIO preparation when setting.ini asks for it.
  std::wstring settingPath;
  if (settingFilePath(platform.files, settingPath)) {
    char value[kProfileValueSize] = {};
    (void)platform.profile.ReadProfileString("SETTING", "GPIO", "0", value, kProfileValueSize,
                                             settingPath);
    value[kProfileValueSize - 1] = '\0';
    if (ParseProfileInteger(value) == 1) {
      setGpioBit(core, REG_GPIO_A);
      platform.clock.Sleep(GPIO_PAUSE_MS);
      setGpioBit(core, REG_GPIO_B);
    }
  }

  std::uint8_t runningChecksum = 0;
  for (std::uint32_t i = 0; i < length; ++i) runningChecksum ^= image[i];
  if (computedChecksum != nullptr) *computedChecksum = runningChecksum;

  bool tableLoaded = false;
  (void)core.LoadFlashCommandTable(flashType, tableLoaded);
  if (!tableLoaded) unreported = true;

  // From the first request that readies the download mode or changes the
  // flash until the return (download mode left, the chip reset where its
  // family asks for it), the process must not be ended from outside.
  const WritePhase writing;
  tellSleepHold(platform, traceFlag_, writing);
  if (profile.prepares && failed(dl.setByte(XU_DFU_PREPARE, 1))) unreported = true;

  bool unprotected = false;
  (void)writeProtection(*this, flashType, FLASH_STATUS_UNPROTECTED, unprotected);
  if (profile.writesProtection && !unprotected) unreported = true;

  // The class-1 part (SST25VF512) programs one byte per Byte-Program
  // command and drops the rest: its header bytes go one command per byte.
  const bool bytePerCommand = FlashClassOf(flashType) == 1;
  auto writeBytes = [&](std::uint32_t address, std::uint32_t count, const std::uint8_t* data) {
    if (!bytePerCommand) return WriteFlashBytesChecked(core, address, count, data);
    bool ok = true;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!WriteFlashBytesChecked(core, address + i, 1, data + i)) ok = false;
    }
    return ok;
  };

  std::uint32_t errorCount = 0;
  bool checksumFailed = false;
  bool refused = false;

  // Whether the enable request below reaches the camera (a camera silent
  // since a timeout is sent nothing): only then may the chip be in download
  // mode when the download ends.
  const bool enableSent = !channel->silent();
  // Everything from here on ends by leaving download mode.
  [&] {
    if (failed(dl.setByte(XU_DFU_ENABLE, 1))) {
      errorCount = 1;
      trace("DFU init fail\n");
      if (failed(dl.setByte(XU_DFU_ENABLE, 1))) return;
    }
    lastDownload_.enteredDownloadMode = true;

    std::uint32_t blockLength = 0;
    (void)channel->GetControlLength(XU_DFU_DATA, &blockLength);
    if (failed(channel->GetControlLength(XU_DFU_DATA, &blockLength))) {
      trace("DFU Access fail\n");
      ++errorCount;
      if (failed(channel->GetControlLength(XU_DFU_DATA, &blockLength))) return;
    }
    // The staging buffer holds 4096 bytes, and a block of 0 bytes would
    // never finish the image: either announcement is refused.
    if (blockLength == 0 || blockLength > DFU_STAGING_SIZE) {
      refused = true;
      return;
    }
    trace("Transfer data\n");

    std::uint8_t staging[DFU_STAGING_SIZE];
    bool headerMarked = false;
    std::uint32_t offset = 0;
    while (offset < length) {
      dl.report(UPD_TRANSFER, DownloadProgress(offset, length));
      if (length - offset >= blockLength) {
        std::memcpy(staging, image + offset, blockLength);
        offset += blockLength;
      } else {
        const std::uint32_t remaining = length - offset;
        std::memcpy(staging, image + offset, remaining);
        std::memset(staging + remaining, 0xFF, blockLength - remaining);
        // Each pad byte is XORed into the checksum the chip will report.
        if ((blockLength - remaining) % 2 != 0) runningChecksum = ~runningChecksum;
        offset = length;
      }
      const HResult sent = channel->SetControl(XU_DFU_DATA, blockLength, staging);

      if (profile.marksHeader && !headerMarked) {
        headerMarked = true;
        const std::uint8_t header = profile.transferHeader;
        if (!writeBytes(0, 1, &header)) unreported = true;
        if (!writeBytes(profile.rewriteOffset, HEADER_REWRITE_LENGTH,
                        image + profile.rewriteOffset))
          unreported = true;
      }

      if (failed(sent)) {
        ++errorCount;
        trace("fail()\n   DFU Access fail\n");
        if (failed(channel->SetControl(XU_DFU_DATA, blockLength, staging))) return;
      }
    }

    dl.report(UPD_VERIFY, PROGRESS_VERIFY);
    std::uint8_t& reply = dl.requestByte();
    reply = 0;
    if (failed(channel->GetControl(XU_DFU_CHECKSUM, 1, &reply))) {
      trace("Checksum fail\n");
      if (failed(channel->GetControl(XU_DFU_CHECKSUM, 1, &reply))) {
        ++errorCount;
        if (failed(channel->GetControl(XU_DFU_CHECKSUM, 1, &reply))) return;
      }
    }

    platform.clock.Sleep(CHECKSUM_PAUSE_MS);
    lastDownload_.deviceChecksumRead = true;
    if (deviceChecksum != nullptr) *deviceChecksum = reply;
    if (reply != runningChecksum || errorCount > 0) {
      char message[64];
      std::snprintf(message, sizeof(message), "Checksum fail 0x%X != 0x%X\n",
                    static_cast<unsigned>(reply), static_cast<unsigned>(runningChecksum));
      trace(message);
      if (reply != runningChecksum) {
        std::snprintf(message, sizeof(message), "the camera has 0x%02X, the image 0x%02X",
                      static_cast<unsigned>(reply), static_cast<unsigned>(runningChecksum));
        runNotes().note(FailureKind::ChecksumMismatch, message);
      }
      checksumFailed = true;
      return;
    }

    if (profile.commits) {
      if (failed(dl.setByte(XU_DFU_COMMIT, 1))) unreported = true;
    } else if (!writeBytes(0, profile.finalHeaderLength, profile.finalHeader.data())) {
      unreported = true;
    }
    bool protectedAgain = false;
    (void)writeProtection(*this, flashType, FLASH_STATUS_PROTECTED, protectedAgain);
    if (profile.writesProtection && !protectedAgain) unreported = true;
  }();

  // Leave download mode: every path from the enable request on ends here.
  // After a timeout the channel sends nothing more, yet a camera that was
  // only slow (a large part erasing) would be left in download mode holding
  // part of an image: the request that leaves it, and the family's reset,
  // still go out, once each, before the update gives up.
  std::optional<CXuChannel::LastWords> lastWords;
  if (enableSent && channel->silent()) lastWords.emplace(*channel);
  HResult left = dl.setByte(XU_DFU_ENABLE, 0);
  if (profile.resetsAfterLeave) {
    platform.clock.Sleep(RESET_PAUSE_MS);
    (void)core.ResetChip();
  }
  if (failed(left)) {
    trace("DFU Disable fail\n");
    if (!lastWords) left = dl.setByte(XU_DFU_ENABLE, 0);
    if (failed(left)) {
      dl.report(UPD_DONE, PROGRESS_DONE);
      return STATUS_FAIL;
    }
  }
  lastWords.reset();

  dl.report(UPD_DONE, PROGRESS_DONE);
  // Success only when the flash was written as reported: checksums agreed,
  // no counted error, no failed request among those not retried, and no
  // wait that gave up anywhere in the update.
  if (checksumFailed || errorCount > 0 || refused || unreported || core.faulted())
    return STATUS_FAIL;
  return STATUS_OK;
}

}  // namespace qv
