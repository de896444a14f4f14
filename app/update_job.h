#pragma once
// The front end: the run of the tool (switch, single instance, device loop,
// dump) and the update job that provisions the embedded firmware image and
// hands it to the download engine.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "app/camera_options.h"
#include "app/options.h"
#include "app/progress_bar.h"
#include "app/report.h"
#include "app/run_record.h"
#include "camera/camera_device.h"
#include "flash/flash_tables.h"
#include "platform/file_places.h"
#include "platform/platform.h"

namespace qv {

// The image the update job extracts: resource "BINARY" with this id.
inline constexpr int FIRMWARE_RESOURCE_ID = 106;
// The update job's image buffer (the embedded image is 32786 bytes; some
// chip families read and patch offsets beyond it, which stay zero).
inline constexpr std::size_t IMAGE_BUFFER_SIZE = 0x20000;
// Bytes read from flash address 0 into Dump.bin.
inline constexpr std::size_t DUMP_SIZE = 0x10000;
// The camera an update is for.
inline constexpr std::uint16_t TARGET_VID = 0x04F2;
inline constexpr std::uint16_t TARGET_PID = 0xB5BD;
// The system-wide name that marks a running copy of the tool.
inline constexpr std::wstring_view kSingleInstanceGuardName =
    L"{A918A806-54BF-4d76-9A9B-04D337529252}";

// The display name of a FlashType (the part name of the flash tables);
// empty for a code outside 121 to 144.
std::wstring_view FlashName(std::uint8_t flashType);

// The four places an update keeps current (values of the download engine).
struct UpdateStatus {
  std::uint8_t computedChecksum = 0;
  std::uint8_t deviceChecksum = 0;
  std::uint8_t state = 0;
  std::uint8_t progress = 0;
};

// `name` in the folder of the running executable: the executable's path cut
// after its last separator, then `name`. False when the executable path is
// not available or the result does not fit kMaxPath wide characters with its
// terminator (a path is never truncated).
bool ExecutableSiblingPath(IFileSystem& files, std::wstring_view name, std::wstring& path);

// A file an installed copy left in the current directory (Dump.bin, a kept
// tmp) is named on standard error, one line, `what` followed by the path:
// the person did not choose that folder. Nothing is said for a file beside
// the executable.
void TellPlace(const Platform& platform, FilePlace place, std::string_view what,
               const std::wstring& path);

// A backup handed to --restore, checked before any camera (restore_run.cpp).
struct RestoreSource;

// One run of the tool. Holds the state the run shares with the update job:
// the switches and the current camera.
class CFrontEnd {
 public:
  explicit CFrontEnd(const Platform& platform);
  ~CFrontEnd();
  CFrontEnd(const CFrontEnd&) = delete;
  CFrontEnd& operator=(const CFrontEnd&) = delete;

  // The whole run; `args` are the command-line arguments after the program
  // name. Returns the exit code: 0 or 1, or kUsageExitCode for a refused
  // command line. Long options and refusals are answered before anything
  // else: no guard, no camera.
  int Run(std::span<const std::wstring> args);

  // What a run of the long options asks of the update job beyond the
  // update itself.
  struct UpdateRequest {
    bool readsBack = false;  // the flash is read back afterwards: its controls are checked too
    bool dryRun = false;     // stop after the checks: nothing is sent that writes
    // Back the flash up first, after every check and before the first
    // request that changes the chip or the flash; what was kept goes into
    // this record. Null: no backup.
    CameraRecord* backupInto = nullptr;
  };
  // The update job on the current device: 0 when the engine reported
  // success (a dry run: when every check passed), 1 for every failure.
  std::int32_t UpdateFirmware() { return UpdateFirmware(UpdateRequest{}); }
  std::int32_t UpdateFirmware(const UpdateRequest& request);
  // Writes resource "BINARY" FIRMWARE_RESOURCE_ID to the file at `path`.
  bool ExtractFirmwareImage(const std::wstring& path);
  // The same into a new private temporary file of the system's; its path
  // goes to `path`.
  bool ExtractFirmwareImageToTemporary(std::wstring& path);

  std::int32_t verbose() const { return verbose_; }
  std::int32_t dump() const { return dump_; }
  CCameraDevice* currentDevice() { return currentDevice_.get(); }
  const UpdateStatus& updateStatus() const { return updateStatus_; }

 private:
  // The image as the engine takes it (zero-filled beyond it) and the part
  // it is written to.
  struct PreparedUpdate {
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t length = 0;
    std::uint8_t flashType = FLASH_TYPE_UNDEFINED;
    // The camera's stream, held for this process until the engine returns.
    std::unique_ptr<IStreamHold> hold;
  };
  // Every check of the update job before its first request that changes
  // the chip or the flash, in the order the update makes them; the update
  // and the dry run both go through it. 0 when the engine may be called.
  std::int32_t CheckBeforeWriting(bool readsBack, PreparedUpdate& prepared);
  // The backup of the current device's first min(part size, 64 KB), read
  // twice and compared, into its file and sidecar (option_runs.cpp). 0 when
  // it was kept; the update must not go on otherwise.
  std::int32_t MakeBackup(std::uint8_t flashType, CameraRecord& record);
  // The camera's line in the history (a warning when it cannot be written).
  void RecordHistory(const CameraRecord& record);
  std::int32_t Dump();
  // The dump of the current device into the file at `path` (empty: none can
  // be written); fills the record's flash identification when given.
  // `place` says whether the file lies where the person would not look (an
  // installed copy's current directory): then one line names it. `check`:
  // the dump switch reads once, the long option twice.
  std::int32_t DumpTo(const std::wstring& path, FilePlace place, ReadCheck check,
                      CameraRecord* record);

  // Runs of the long options that work on cameras (option_runs.cpp): guard,
  // the one walk that lists the cameras, the loop over that list, the final
  // word and the report.
  int RunCameraOptions(const CameraOptions& options);
  std::int32_t RunCameraLoop(const CameraOptions& options, std::vector<ListedCamera>& cameras,
                             std::vector<CameraRecord>& records);
  // The update of one target camera: skipped when current (--if-needed),
  // read back afterwards (--verify), only checked (--dry-run).
  void UpdateTarget(const CameraOptions& options, CameraRecord& record);
  // --dry-run on one target camera: the update's checks, then its line.
  void DryRunTarget(const CameraOptions& options, CameraRecord& record);
  // After the chip reset: lets the camera go, waits for the same camera ID
  // to come back and opens it again (false: not back in time).
  bool ReopenAfterReset(const std::string& cameraId);
  void PrintCameraLine(const CameraRecord& record, std::string_view what);
  // Whether every file the camera run will write (report, dump) can be
  // written; notes the reason when one cannot.
  bool CheckOutputs(const CameraOptions& options);
  // Tells why an output cannot be written ("; nothing was done"); returns
  // kUsageExitCode.
  int RefuseOutputs();
  // The report's end: the exit code, the time and the run's reason.
  void EndReport(RunReport& report, int result);
  // The guard and the one walk of a camera run, kept to the --camera ID:
  // kExitDone with `cameras` listed, the run's exit code otherwise (another
  // copy, no camera, no camera with that ID).
  int WalkCameras(const CameraOptions& options, std::vector<ListedCamera>& cameras);
  std::span<const std::uint8_t> EmbeddedImage();
  // Tells on standard error why the run failed (or that it did nothing).
  void TellReason(std::int32_t result, bool anyOpened);
  // --restore FILE (restore_run.cpp): a backup written back to its camera.
  int RunRestore(const CameraOptions& options);
  // The restore on the one target camera, opened as the current device.
  void RestoreTarget(const RestoreSource& source, CameraRecord& record);
  // Writes the JSON report to `path`; a report that cannot be written fails
  // the run (`result` becomes 1) with the reason noted.
  void WriteReportFile(const std::wstring& path, const RunReport& report, int& result);
  // --history (history_run.cpp): what earlier runs wrote.
  int RunHistory(const CameraOptions& options);
  // The long options of a command line (no guard, no camera yet).
  int RunOptions(const CommandLine& line);
  void Print(std::wstring_view text);
  void PrintVerbose(std::wstring_view text);

  // Every console write of the run passes the progress bar of an update.
  ProgressConsole progress_;
  const Platform platform_;
  std::int32_t verbose_ = 0;
  std::int32_t dump_ = 0;
  std::unique_ptr<CCameraDevice> currentDevice_;
  UpdateStatus updateStatus_;
  // The FlashType the last update handed the engine (120: the engine was
  // not called).
  std::uint8_t updateFlashType_ = 120;
  // Whether a camera run of the long options opened any camera.
  bool anyOpened_ = false;
  // Whether an update of the long options backs the flash up first, and
  // the file named for it (empty: a name of its own in the state folder).
  bool makesBackup_ = false;
  std::wstring backupFile_;
  // Standard output holds the JSON report alone: the texts the tool prints
  // there otherwise go to standard error.
  bool textToError_ = false;
};

// UTF-8 of wide text (UTF-16 on Windows, UTF-32 elsewhere); an unpaired
// surrogate becomes U+FFFD.
std::string Utf8Of(std::wstring_view text);

// Whether a note of one of `kinds` was made since the run had `mark` notes.
bool NotedSince(std::size_t mark, std::initializer_list<FailureKind> kinds);

// No target camera was reached: "try again later" when the system or
// another program kept the cameras from the tool, "no target" otherwise.
int NoTargetExit();
// Whether the camera's flash changed (CameraRecord::changed), from what
// was read before and after, else from the writing requests.
void SettleChanged(CameraRecord& record);

// `--camera ID`: keeps only the listed camera with that camera ID (letter
// case aside); false, and `cameras` untouched, when none has it.
bool KeepCamera(std::wstring_view cameraId, std::vector<ListedCamera>& cameras);

// The tool's run on a platform (the entry point calls this).
int RunQvflash(std::span<const std::wstring> args, const Platform& platform);

}  // namespace qv
