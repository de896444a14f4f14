#pragma once
// The command line. The tool's two switches ("-dbg", "-dump") are compared
// exactly and only as the first argument; anything else first is a plain
// update, as scripts have always relied on. Two kinds of first argument are
// taken out of that rule, because a person who typed them plainly meant
// something other than an update and a flash rewritten by accident cannot be
// taken back:
//  - a first argument starting with "--" begins a list of long options
//    (every argument is one; any order; each at most once);
//  - a near miss of a switch or option: a switch or long option name in
//    another letter case, with one dash or "/" in place of "--" ("-DUMP",
//    "/dbg", "-list", "-if-needed"), or with spaces or tabs around it.
// Neither ever reaches the guard, the camera count or a camera: a known long
// option runs, anything else is refused with exit code 2.
//
// Adding a long option: a value at the end of LongOption and a row in
// kLongOptions; the front end decides what a set of options does.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// The exit code of a command line that is refused (nothing was done).
inline constexpr int kUsageExitCode = 2;
// The exit codes of the long options that work on cameras, for scripts and
// management tools (the switches keep 0 and 1 alone):
inline constexpr int kExitDone = 0;      // updated, already current, listed, dumped
inline constexpr int kExitFailed = 1;    // a camera failed (or the run did)
inline constexpr int kExitNoTarget = 3;  // no target camera found, or none could be opened
inline constexpr int kExitTryLater = 4;  // in use, another copy, camera access blocked

enum class LongOption : std::uint8_t {
  Help,       // "--help": the usage
  Version,    // "--version": the version line and the embedded firmware
  List,       // "--list": the read-only inventory of the cameras
  IfNeeded,   // "--if-needed": a camera that is current is not written
  All,        // "--all": every target camera, in index order
  Verify,     // "--verify": the flash read back after an update that passed
  Json,       // "--json FILE": the JSON report ("-": standard output, --list only)
  Dump,       // "--dump FILE": the dump into that file
  DryRun,     // "--dry-run": an update's checks, then stop: nothing written
  Camera,     // "--camera ID": only the camera with this camera ID (as --list shows it)
  Backup,     // "--backup FILE": the backup an update makes first goes to FILE
  NoBackup,   // "--no-backup": an update makes no backup first
  Restore,    // "--restore FILE": writes a backup back to its camera, then reads it back
  Force,      // "--force": --restore takes a file that has no sidecar
  History,    // "--history": the record of what earlier runs wrote
  Check,      // "--check": read-only; exit 0 and one line when every target camera is current
  RetryCode,  // "--retry-code N": exit N in place of 4 ("try again later")
};

struct LongOptionName {
  std::wstring_view name;  // as typed, "--" included; compared exactly
  LongOption option;
  // What the next argument is, for an option that takes one ("file name",
  // "camera ID", "number"); null for an option that takes none.
  const char* value = nullptr;
};

inline constexpr std::array kLongOptions{
    LongOptionName{L"--help", LongOption::Help},
    LongOptionName{L"--version", LongOption::Version},
    LongOptionName{L"--list", LongOption::List},
    LongOptionName{L"--if-needed", LongOption::IfNeeded},
    LongOptionName{L"--all", LongOption::All},
    LongOptionName{L"--verify", LongOption::Verify},
    LongOptionName{L"--json", LongOption::Json, "a file name"},
    LongOptionName{L"--dump", LongOption::Dump, "a file name"},
    LongOptionName{L"--dry-run", LongOption::DryRun},
    LongOptionName{L"--camera", LongOption::Camera, "a camera ID"},
    LongOptionName{L"--backup", LongOption::Backup, "a file name"},
    LongOptionName{L"--no-backup", LongOption::NoBackup},
    LongOptionName{L"--restore", LongOption::Restore, "a file name"},
    LongOptionName{L"--force", LongOption::Force},
    LongOptionName{L"--history", LongOption::History},
    LongOptionName{L"--check", LongOption::Check},
    LongOptionName{L"--retry-code", LongOption::RetryCode, "a number"},
};

// Which long options a command line gave.
class OptionSet {
 public:
  void add(LongOption option) { bits_ |= bit(option); }
  bool has(LongOption option) const { return (bits_ & bit(option)) != 0; }
  bool empty() const { return bits_ == 0; }
  bool operator==(const OptionSet&) const = default;

 private:
  static constexpr std::uint32_t bit(LongOption option) {
    return std::uint32_t{1} << static_cast<unsigned>(option);
  }
  std::uint32_t bits_ = 0;
};

enum class RunKind : std::uint8_t {
  Update,         // no switch: the plain update
  VerboseUpdate,  // "-dbg"
  Dump,           // "-dump"
  Options,        // long options (the short forms "-h", "-?", "/?" of --help too)
  Refused,        // not a command line the tool runs: exit kUsageExitCode
};

struct CommandLine {
  RunKind kind = RunKind::Update;
  OptionSet options;            // for RunKind::Options
  std::wstring jsonFile;        // the file of --json
  std::wstring dumpFile;        // the file of --dump
  std::wstring cameraId;        // the camera ID of --camera
  std::wstring backupFile;      // the file of --backup
  std::wstring restoreFile;     // the file of --restore
  std::uint32_t retryCode = 0;  // the number of --retry-code
  std::string refusal;          // for RunKind::Refused: one line, no line end
  // For a switch followed by more arguments: one line naming what was
  // ignored (no line end); empty otherwise.
  std::string ignored;
};

// The largest number --retry-code takes; the system passes exit codes on as
// 32-bit numbers on Windows, as 8 bits on Linux (the platform's console
// says which, IConsole::LargestExitCode).
inline constexpr std::uint32_t kRetryCodeParseLimit = 0x7FFFFFFF;
// The smallest: 0 to 4 are the contract's own codes.
inline constexpr std::uint32_t kSmallestRetryCode = 5;

CommandLine ParseCommandLine(std::span<const std::wstring> args);

// Whether long options ask anything of the cameras (--help and --version
// answer without them, whatever else is given).
bool AsksCameras(const OptionSet& options);

// Whether the run asks anything of a camera (the simulator's scene is read
// only then).
bool NeedsCameras(const CommandLine& line);

}  // namespace qv
