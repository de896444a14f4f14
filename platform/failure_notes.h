#pragma once
// Why a run failed (or did nothing), told in a person's words. Only the layer
// that meets a failure knows its cause, so that layer notes it where it
// happens; the front end tells the person once, on standard error, at the end
// of the run. Standard output never carries these notes.
//
// One run at a time per process, as the tool itself: the notes are the run's,
// and the front end clears them when a run starts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class FailureKind : std::uint8_t {
  NoCamera,            // no USB camera whose extension unit answers
  CameraNotOpened,     // a counted camera could not be opened (detail: which one, why)
  CameraPrivacy,       // the system's privacy setting denies access to cameras
  CameraInUse,         // another program streams from the camera
  AnotherCopy,         // another copy of the tool is running
  FileNotWritten,      // detail: the path and the system's reason
  FileNotRead,         // detail: the path and the system's reason
  Unplugged,           // the camera went away during the run
  ChecksumMismatch,    // the chip's checksum differs from the image's
  FlashNotAnswering,   // the flash or the chip's SPI master stopped answering
  ReadoutFailed,       // reading the flash back failed
  RequestFailed,       // another request to the camera failed
  OtherCamera,         // a camera of another make or model was passed over (detail: which)
  FlashUnknown,        // the flash part answered none of the known identifications
  VerifyMismatch,      // the flash read back after an update differs (detail: how)
  CameraNotAnswering,  // a request to the camera timed out: it is sent nothing more
  ControlMissing,      // the extension unit lacks a control the update uses (detail: which)
  BlockSizeMismatch,   // the flash-data control's length is not the one the route writes
  // A file could not be written for a cause of its own (detail: the path and
  // the system's reason); FileNotWritten stands for a refused permission and
  // any cause not told apart.
  PathTooLong,     // the path is longer than the system takes
  FolderMissing,   // the folder the file goes to does not exist
  FolderInTheWay,  // a folder has the file's name
  DiskFull,        // no room left on the disk
  FlashTooSmall,   // the identified part is smaller than what the update writes (detail: sizes)
  ReadBackFailed,  // the read-back after an update could not run: nothing was compared
  // Two reads of the same flash span differed, and again on another try
  // (detail: the first differing address)
  ReadoutUnsteady,
  Interrupted,  // a signal (Ctrl-C) stopped the run before its next write
  // After its chip reset the camera did not come back on the bus in time
  NotBackAfterReset,
  CameraIdNotFound,  // no camera has the camera ID asked for (detail: the ID)
  FirmwareDiffers,   // --check: a target camera's flash does not hold this firmware (detail: which)
  // A backup handed to --restore is not of this camera's family or part, or
  // larger than its flash (detail: how)
  BackupMismatch,
  // The flash read back after a restore differs from the backup (detail: how)
  RestoreMismatch,
  BackupNotRead,     // the flash could not be read for the backup before an update
};

// The system's own error of a failed platform call, where the system has
// one beside the status the logic sees (Linux: the errno behind the mapped
// HRESULT). The name is a static text ("EPROTO"), empty when unknown.
struct SystemError {
  std::int32_t code = 0;
  std::string_view name;
};

struct FailureNote {
  FailureKind kind;
  std::string detail;                  // which camera, path or system reason; may be empty
  std::optional<std::int32_t> status;  // the HRESULT or errno of the failed request
  // The system's error behind the status, when a backend met one.
  std::optional<SystemError> systemError = std::nullopt;
};

class FailureNotes {
 public:
  void note(FailureKind kind, std::string_view detail = {},
            std::optional<std::int32_t> status = std::nullopt,
            std::optional<SystemError> systemError = std::nullopt) {
    // A runaway loop of failures must not grow without bound.
    if (notes_.size() < kMaxNotes)
      notes_.push_back({kind, std::string(detail), status, systemError});
  }
  const std::vector<FailureNote>& notes() const { return notes_; }
  bool has(FailureKind kind) const {
    for (const FailureNote& n : notes_) {
      if (n.kind == kind) return true;
    }
    return false;
  }
  // Forgets the notes made after the first `count` (what a wait met before
  // its end, when the end decides).
  void dropAfter(std::size_t count) {
    if (count < notes_.size()) notes_.resize(count);
  }
  void clear() {
    notes_.clear();
    systemError_.reset();
  }

  // The system's error of the last failed platform call: a backend sets it
  // where the call fails, the layer that notes the failure takes it (and
  // drops any left over before its next call). Nothing here allocates.
  void setSystemError(SystemError error) { systemError_ = error; }
  std::optional<SystemError> takeSystemError() {
    const std::optional<SystemError> error = systemError_;
    systemError_.reset();
    return error;
  }

 private:
  static constexpr std::size_t kMaxNotes = 64;
  std::vector<FailureNote> notes_;
  std::optional<SystemError> systemError_;
};

// The notes of the process's run.
inline FailureNotes& runNotes() {
  static FailureNotes notes;
  return notes;
}

}  // namespace qv
