#pragma once
// What a run did to each camera it examined: the inventory's rows, the lines
// of an update of several cameras, and the content of the JSON report.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camera/camera_device.h"
#include "flash/firmware_state.h"

namespace qv {

enum class CameraAction : std::uint8_t {
  Listed,           // --list: looked at, nothing written
  Updated,          // the update ran (the result says how it ended)
  SkippedUpToDate,  // --if-needed: already current, not written
  Dumped,           // the read-out into a file ran
  FailedToOpen,     // counted, but the open failed
  NotTarget,        // another vendor's or product's camera: not updated
  Refused,          // an update refused before its first writing request (the reason says why)
  Stopped,          // the run was stopped (a signal) before this camera was written
  WouldUpdate,      // --dry-run: every check an update makes passed; nothing written
  WouldFail,        // --dry-run: a check failed (the reason is the run's); nothing written
  Restored,         // --restore: a backup was written back (the result says how it ended)
};
const char* CameraActionName(CameraAction action);

enum class VerifyResult : std::uint8_t { NotRun, Passed, Failed };

struct CameraRecord {
  std::int32_t index = 0;
  bool opened = false;
  std::string path;  // the device path as the camera stack reports it
  // The instance ID of the camera's USB device (empty: the registry did not
  // name it).
  std::string cameraId;
  bool identityFound = false;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t revision = 0;
  bool target = false;
  ChipFamily family = CHIP_FAMILY_NONE;
  bool flashAsked = false;
  FlashIdentity flash;
  bool identificationLost = false;  // a request of the identification failed
  std::optional<FirmwareState> stateBefore;
  CameraAction action = CameraAction::Listed;
  std::optional<bool> passed;        // the camera's own outcome, when it had one
  bool updateRan = false;            // the engine ran: the checksums and state below are its
  bool enteredDownloadMode = false;  // the chip took the request to enter its download mode
  bool deviceChecksumRead = false;   // the chip's checksum was read
  std::uint8_t computedChecksum = 0;
  std::uint8_t deviceChecksum = 0;
  std::uint8_t finalState = 0;
  // The camera's failure is one to try again later (another program streams
  // from it, the system blocks camera access).
  bool tryLater = false;
  VerifyResult verify = VerifyResult::NotRun;
  // Whether the camera came back on the bus after its chip reset, when
  // something waited for it (a read after the reset); null otherwise.
  std::optional<bool> cameBack;
  FlashDifference verifyDifference;
  // --restore: the 4 KB sectors written (the download route writes every
  // one of the backup's); null when nothing was written.
  std::optional<std::uint32_t> sectorsWritten;
  std::uint64_t durationMs = 0;
  // Why the camera failed or was not read, when it did: the reason's code
  // and its words (empty when it has none).
  std::string reasonCode;
  std::string reason;
  // When the camera was taken up, UTC ("2026-12-09T09:30:44Z"; empty: the
  // clock is not known).
  std::string time;
  // The flash's SHA-256 (64 hexadecimal digits; empty: not read) before the
  // update and after it (the read-back), over the firmware image's span
  // [0, imageSpan) and over the backup's span [0, backupSpan).
  std::uint32_t imageSpan = 0;
  std::string sha256BeforeImage;
  std::string sha256AfterImage;
  std::uint32_t backupSpan = 0;
  std::string sha256BeforeBackup;
  std::string sha256AfterBackup;
  std::string backupPath;  // the backup made before the update (UTF-8); empty: none
  // The flash's content after differs from before: told by the digests
  // where both were read, else by a writing request that succeeded (the
  // chip entered its download mode).
  bool changed = false;
};

// The embedded image as the engine takes it for one chip family.
struct FirmwareSummary {
  ChipFamily family = CHIP_FAMILY_NONE;
  std::uint32_t length = 0;
  std::uint8_t checksum = 0;
  std::string sha256;  // of the patched image, 64 hexadecimal digits
};
// Per chip family 102 to 108: the image patched for a part of command class
// 0 (the GD25Q512 an update assumes, and most other parts).
std::vector<FirmwareSummary> SummarizeFirmware(std::span<const std::uint8_t> image);

}  // namespace qv
