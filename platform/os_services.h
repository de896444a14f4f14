#pragma once
// What the logic needs of the operating system: the executable's path,
// embedded resources, files, the INI profile, time, the single-instance
// guard and the console. Paths are wide text in the platform's own form.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// MAX_PATH: on Windows the executable path and every path built from it fit
// this many wide characters, terminator included.
inline constexpr std::size_t kMaxPath = 260;

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;
  // GetModuleFileNameW into a buffer of kMaxPath wide characters. False when
  // the path cannot be read or does not fit (never a truncated path).
  virtual bool ExecutablePath(std::wstring& path) = 0;
  // The separator at which the executable path is cut (a backslash on
  // Windows).
  virtual wchar_t PathSeparator() const = 0;
  // The most wide characters, terminator included, a path built by the tool
  // may have (kMaxPath on Windows); 0 when the tool sets no limit of its own
  // (Linux: the system calls tell a path that is too long).
  virtual std::size_t PathLimit() const = 0;
  // The current directory, absolute, in the platform's form. False when it
  // cannot be read.
  virtual bool CurrentDirectory(std::wstring& path) = 0;
  // Whether `folder`, the executable's folder, belongs to an installed copy
  // that the tool's files must stay out of: this user may not create files
  // in it (/usr/bin, Program Files), or it is the folder the program was
  // built to be installed to. False for a folder that does not exist or
  // cannot be examined (writing there then fails as it would anyway).
  virtual bool IsInstalledProgramFolder(const std::wstring& folder) = 0;
  // The path as text for a message on standard error: the system's own
  // bytes on Linux, the ANSI code page on Windows.
  virtual std::string PathForMessage(const std::wstring& path) const = 0;

  // A writable mapping of a newly created file; destroying it unmaps the
  // view and closes the mapping and the file.
  class MappedFile {
   public:
    virtual ~MappedFile() = default;
    virtual std::uint8_t* data() = 0;
  };
  // CreateFileW (read/write, no sharing, CREATE_ALWAYS, normal attributes),
  // CreateFileMappingW of `size` bytes (read/write) and MapViewOfFile of all
  // of it. Null when any step fails (everything opened is closed again).
  // Does not follow a symbolic link planted at the path.
  virtual std::unique_ptr<MappedFile> CreateMapped(const std::wstring& path, std::size_t size) = 0;
  // A new private file in the system's temporary folder (TMPDIR or /tmp;
  // GetTempPathW), created exclusively under a fresh name, readable and
  // writable by this user only, mapped writable like CreateMapped. Its path
  // goes to `path`. Null when any step fails (nothing is left behind).
  virtual std::unique_ptr<MappedFile> CreateMappedTemporary(std::size_t size,
                                                            std::wstring& path) = 0;

  enum class ReadResult { Ok, CannotOpen, TooLong, ReadError };
  // Opens the file for binary reading, finds its length, and reads it into
  // the start of `buffer`. TooLong when the file is longer than the buffer
  // (nothing beyond the buffer is written).
  virtual ReadResult ReadFile(const std::wstring& path, std::span<std::uint8_t> buffer,
                              std::size_t& length) = 0;
  // Creates or replaces the file with exactly `data` (binary). Does not
  // follow a symbolic link planted at the path. False when it cannot.
  virtual bool WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) = 0;
  // Whether WriteFile could later create or replace the file at `path`:
  // a scratch file is made beside it and removed again, and the path must
  // not name a folder. Nothing is left behind and an existing file is not
  // touched. Notes the reason (as WriteFile would) when it could not.
  virtual bool CheckWritable(const std::wstring& path) = 0;
  // DeleteFileW. (Not named DeleteFile: the Windows headers define that name as a macro.)
  virtual bool RemoveFile(const std::wstring& path) = 0;
  // The computer's name as the network knows it (its DNS host name), for
  // the records a run leaves; empty when not known.
  virtual std::string HostName() { return {}; }

  // The per-user folder of what the tool keeps between runs (backups, the
  // history), ending with the separator: on Linux $XDG_STATE_HOME/qvflash/
  // (an absolute path), else $HOME/.local/state/qvflash/; on Windows
  // %LOCALAPPDATA%\qvflash\. False when the environment names none (a
  // service without a profile, a bare init).
  virtual bool StateFolder(std::wstring& folder) = 0;
  // Creates `folder` and every missing folder above it (readable by this
  // user only where the system has such modes). True when it is a folder
  // afterwards; notes the reason when not.
  virtual bool CreateFolders(const std::wstring& folder) = 0;
  // Appends `line` (its line end included) to the file at `path`, creating
  // it, in one write: lines of two runs never interleave. False when it
  // cannot; nothing is noted (the caller warns).
  virtual bool AppendLine(const std::wstring& path, std::string_view line) = 0;
};

// Resources embedded in the program's own module.
class IResources {
 public:
  virtual ~IResources() = default;
  // FindResourceW (own module, `id`, type "BINARY"), LoadResource,
  // LockResource, SizeofResource. Empty when any step yields nothing.
  virtual std::span<const std::uint8_t> FindBinary(int id) = 0;
};

// The INI profile read (GetPrivateProfileStringA; named apart from the
// Windows macro GetPrivateProfileString).
class IProfile {
 public:
  virtual ~IProfile() = default;
  // Copies the value of `key` in `section` of the file at `path` (or
  // `defaultValue`) into `buffer` of `size` bytes, truncated and
  // NUL-terminated; returns the number of characters copied.
  virtual std::uint32_t ReadProfileString(std::string_view section, std::string_view key,
                                          std::string_view defaultValue, char* buffer,
                                          std::uint32_t size, const std::wstring& path) = 0;
};

// Time: the only way the logic waits, and the clock its bounded waits read.
class IClock {
 public:
  virtual ~IClock() = default;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // A monotonic time in microseconds (the simulated clock under the
  // simulator).
  virtual std::uint64_t NowMicroseconds() = 0;
  // The time of day: seconds since 1970-01-01 00:00 UTC (the system's
  // clock, which a person may have set wrong: for records, never for
  // waits); 0 when not known.
  virtual std::int64_t UtcSeconds() { return 0; }
};

// The named single-instance guard (CreateMutexW + GetLastError).
class IInstanceGuard {
 public:
  virtual ~IInstanceGuard() = default;
  enum class Result { Created, AlreadyExists, Error };
  // Creates the system-wide named object without taking ownership; it is
  // held until the process ends. AlreadyExists when another process holds it.
  virtual Result Create(std::wstring_view name) = 0;
};

// The console: wide and narrow text both go to standard output, in the
// order written, as the exact bytes of the (ASCII) text.
class IConsole {
 public:
  virtual ~IConsole() = default;
  virtual void WriteWide(std::wstring_view text) = 0;
  virtual void WriteNarrow(std::string_view text) = 0;
  virtual void WriteError(std::string_view text) = 0;  // standard error
  // Whether standard error is an interactive terminal (a console window on
  // Windows) rather than a file or pipe: only then may a line be redrawn
  // in place.
  virtual bool ErrorIsTerminal() = 0;
  // Whether standard output is an interactive terminal: only then does the
  // final word get a line end of its own (a script reads it without one).
  virtual bool OutputIsTerminal() { return false; }
  // The width of the terminal standard error shows on, in columns; 0 when
  // not known.
  virtual unsigned ErrorColumns() { return 0; }
  // Whether standard error goes to the same file or pipe as standard output
  // (a script's "2>&1"): then text on standard error that follows a line
  // standard output left open starts a line of its own.
  virtual bool ErrorSharesOutput() { return false; }
  // The largest exit code the system passes on whole to whoever started
  // the process: 255 where exit statuses are 8 bits (POSIX), more where
  // they are 32 (Windows).
  virtual std::uint32_t LargestExitCode() const { return 255; }
};

}  // namespace qv
