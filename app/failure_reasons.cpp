// The reasons of a failed run, in a person's words.
#include "app/failure_reasons.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

namespace qv {

namespace {

struct Reason {
  FailureKind kind;
  std::string_view code;  // the report's reason_code: short, stable, for programs
  std::string_view what;  // what happened
  std::string_view next;  // what to do about it
};

// In the order in which one explains a run better than the next.
constexpr std::array kReasons{
    Reason{FailureKind::Interrupted, "interrupted",
           "the run was stopped (Ctrl-C or a signal) before its next write",
           "nothing more was written; rerun to finish (--if-needed passes over a camera that is "
           "already current)"},
    Reason{FailureKind::AnotherCopy, "another_copy", "another copy of qvflash is running",
           "wait for it to end (it prints Pass or Fail), then rerun"},
    Reason{FailureKind::CameraPrivacy, "camera_access_blocked",
           "Windows denies programs access to the camera",
           "turn camera access on in Settings > Privacy & security > Camera (also for desktop "
           "apps), then rerun"},
    Reason{FailureKind::CameraInUse, "camera_in_use",
           "another program is using the camera (a video call, the "
           "camera app)",
           "close it and rerun"},
    Reason{FailureKind::Unplugged, "unplugged", "the camera went away during the run",
           "plug it in again and rerun"},
    // The update ended well; the camera did not return for what followed.
    Reason{FailureKind::NotBackAfterReset, "not_back_after_reset",
           "the camera did not come back after its reset",
           "unplug the camera, plug it in again and run qvflash --list: \"current\" means the "
           "flash holds the firmware"},
    Reason{FailureKind::CameraNotAnswering, "camera_not_answering", "the camera stopped answering",
           "unplug the camera, plug it in again and rerun"},
    Reason{FailureKind::FlashNotAnswering, "flash_not_answering",
           "the camera's flash stopped answering", "unplug the camera, plug it in again and rerun"},
    Reason{FailureKind::ChecksumMismatch, "checksum_mismatch",
           "the camera's checksum differs from the firmware's",
           "the flash may not hold the new firmware: rerun"},
    // Nothing read was used: a dump is not written, a state is unknown.
    Reason{FailureKind::RestoreMismatch, "restore_mismatch",
           "the flash read back after the restore does not hold the backup",
           "rerun the restore; if it fails again, the camera's flash is faulty and needs service"},
    Reason{FailureKind::ReadoutUnsteady, "readout_unsteady",
           "the flash read differently twice, and again on another try; nothing read was used",
           "a reply from the camera was cut short or changed on its way (Linux fills a short "
           "reply up with zeros): plug the camera straight into the computer and rerun"},
    // Nothing was written: the update waits for its backup.
    Reason{FailureKind::BackupNotRead, "backup_not_read",
           "the flash could not be read for the backup before the update; nothing was written",
           "unplug the camera, plug it in again and rerun"},
    Reason{FailureKind::VerifyMismatch, "verify_mismatch",
           "the flash read back after the update does not hold the firmware",
           "rerun; if it fails again, the camera's flash is faulty and needs service"},
    // The update itself ended well (its checksum matched); only the
    // comparison is missing, and a rerun would write the camera again.
    Reason{FailureKind::ReadBackFailed, "read_back_failed",
           "the flash could not be read back after the update, so it was not compared with the "
           "firmware",
           "unplug the camera, plug it in again and run qvflash --list: \"current\" means the "
           "flash holds the firmware"},
    // The file may lie beside qvflash, in the current directory, in the
    // temporary folder (an installed copy) or where an option names it: the
    // detail names it. The causes that tell more come first.
    Reason{FailureKind::FolderInTheWay, "folder_in_the_way",
           "a folder has the name of a file qvflash writes",
           "remove or rename that folder (or name another file) and rerun"},
    Reason{FailureKind::FolderMissing, "folder_missing",
           "the folder of a file qvflash writes does not exist",
           "create it (or name a file in a folder that exists) and rerun"},
    Reason{FailureKind::PathTooLong, "path_too_long",
           "the path of a file qvflash writes is too long",
           "move qvflash to a folder with a shorter path (or name a shorter path) and rerun"},
    Reason{FailureKind::DiskFull, "disk_full", "the disk of a file qvflash writes is full",
           "free some space on it and rerun"},
    Reason{FailureKind::FileNotWritten, "file_not_written",
           "a file qvflash needs could not be written",
           "make that folder writable (or run qvflash from a folder you may write to) and rerun"},
    Reason{FailureKind::FileNotRead, "file_not_read", "a file qvflash wrote could not be read back",
           "make that folder writable only by you (or run qvflash from such a folder) and rerun"},
    // A dump is not written from a failed read-out.
    Reason{FailureKind::ReadoutFailed, "readout_failed",
           "reading the camera's flash failed; no dump was written from it",
           "unplug the camera, plug it in again and rerun"},
    Reason{FailureKind::ControlMissing, "control_missing",
           "the camera does not offer a control the update needs",
           "nothing was written; this camera cannot be updated by this qvflash"},
    // Found before anything was sent that changes the flash.
    Reason{FailureKind::BlockSizeMismatch, "block_size_mismatch",
           "the camera's flash takes blocks of another size than this update writes",
           "nothing was written; ask for a qvflash that can update this camera"},
    // Found once the part was identified, before anything was sent that
    // changes the chip or the flash.
    // Found once the camera was identified, before anything was written.
    Reason{FailureKind::BackupMismatch, "backup_mismatch", "the backup is not one of this camera",
           "nothing was written; restore a backup read from this kind of camera (its sidecar "
           "names the chip family and the flash part)"},
    Reason{FailureKind::FlashTooSmall, "flash_too_small",
           "the camera's flash part is too small for the firmware",
           "nothing was written; this camera cannot be updated by this qvflash"},
    Reason{FailureKind::FlashUnknown, "flash_unknown",
           "the camera's flash part is not one qvflash knows",
           "nothing was written; ask for a qvflash that knows the part"},
    // What --check found: the flash was read, it holds something else.
    Reason{FailureKind::FirmwareDiffers, "firmware_differs",
           "a camera's flash does not hold this firmware",
           "update it (qvflash --all --if-needed --verify), then check again"},
    Reason{FailureKind::CameraNotOpened, "camera_not_opened", "a camera could not be opened",
           "close any program that uses it, unplug it, plug it in again and rerun"},
    Reason{FailureKind::CameraIdNotFound, "camera_id_not_found",
           "no camera has the camera ID asked for",
           "run qvflash --list to see the camera IDs, then rerun with one of them"},
    Reason{FailureKind::OtherCamera, "other_camera",
           "no camera qvflash is for (USB 04F2:B5BD) was found", "plug in that camera and rerun"},
    Reason{FailureKind::NoCamera, "no_camera", "no camera was found",
           "check the cable and plug the camera straight into the computer; on Linux you need "
           "read and write access to /dev/video* (join the video group, log in again); on "
           "Windows the camera must show under Cameras in Device Manager; then rerun"},
    Reason{FailureKind::RequestFailed, "request_failed", "a request to the camera failed",
           "unplug the camera, plug it in again and rerun"},
};

}  // namespace

const FailureNote* ChiefNote(const FailureNotes& notes) {
  for (const Reason& reason : kReasons) {
    for (const FailureNote& note : notes.notes()) {
      if (note.kind == reason.kind) return &note;
    }
  }
  return notes.notes().empty() ? nullptr : &notes.notes().front();
}

std::optional<FailureNote> CameraChiefNote(const FailureNotes& notes, std::size_t from) {
  FailureNotes since;
  for (std::size_t i = from; i < notes.notes().size(); ++i) {
    const FailureNote& note = notes.notes()[i];
    since.note(note.kind, note.detail);
  }
  const FailureNote* chief = ChiefNote(since);
  if (chief == nullptr) return std::nullopt;
  return *chief;
}

std::string ReasonText(const FailureNote& note) {
  for (const Reason& r : kReasons) {
    if (r.kind != note.kind) continue;
    std::string text(r.what);
    if (!note.detail.empty()) text += " (" + note.detail + ")";
    return text;
  }
  return {};
}

std::string_view ReasonCode(FailureKind kind) {
  for (const Reason& r : kReasons) {
    if (r.kind == kind) return r.code;
  }
  return "unexplained";
}

std::string CameraReason(const FailureNotes& notes, std::size_t from) {
  const std::optional<FailureNote> chief = CameraChiefNote(notes, from);
  return chief ? ReasonText(*chief) : std::string();
}

std::string ReasonLines(const FailureNote& note, bool verbose) {
  std::string text = "qvflash: ";
  const Reason* reason = nullptr;
  for (const Reason& r : kReasons) {
    if (r.kind == note.kind) reason = &r;
  }
  if (reason == nullptr) return std::string(kUnexplainedFailure);
  text += reason->what;
  if (!note.detail.empty()) text += " (" + note.detail + ")";
  text += ": ";
  text += reason->next;
  text += "\n";
  if (verbose && note.status) {
    char status[48];
    if (*note.status < 0) {
      std::snprintf(status, sizeof status, "qvflash: status 0x%08X\n",
                    static_cast<unsigned>(*note.status));
    } else {
      std::snprintf(status, sizeof status, "qvflash: system error %d\n", *note.status);
    }
    text += status;
  }
  if (verbose && note.systemError) {
    char system[64];
    const SystemError& error = *note.systemError;
    if (error.name.empty()) {
      std::snprintf(system, sizeof system, "qvflash: system error %d\n", error.code);
    } else {
      std::snprintf(system, sizeof system, "qvflash: system error %d (%.*s)\n", error.code,
                    static_cast<int>(error.name.size()), error.name.data());
    }
    text += system;
  }
  return text;
}

}  // namespace qv
