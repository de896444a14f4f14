#include "platform/linux/linux_file_system.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/failure_notes.h"
#include "platform/host.h"
#include "platform/linux/os_error.h"
#include "platform/linux/wide_text.h"

namespace qv::linux_host {
namespace {

// A file descriptor closed on scope exit.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A new, empty file beside `target`, created exclusively (O_EXCL never
// follows or reuses an existing name). Its name is returned in `tempPath`.
Fd CreateTempBeside(const std::string& target, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = target + ".qvtmp-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter.fetch_add(1));
    const int fd =
        ::open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return Fd(fd);
    if (errno != EEXIST) break;
  }
  tempPath.clear();
  return Fd();
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

class LinuxMappedFile : public IFileSystem::MappedFile {
 public:
  LinuxMappedFile(int fd, void* view, std::size_t size) : fd_(fd), view_(view), size_(size) {}
  ~LinuxMappedFile() override {
    ::munmap(view_, size_);
    ::close(fd_);
  }
  std::uint8_t* data() override { return static_cast<std::uint8_t*>(view_); }

 private:
  int fd_;
  void* view_;
  std::size_t size_;
};

}  // namespace

bool LinuxFileSystem::AcceptExecutablePath(const std::string& bytes, std::wstring& path) {
  // Any bytes name a file on Linux: no encoding is required and the tool
  // sets no length limit of its own.
  if (bytes.empty() || bytes.find('\0') != std::string::npos) return false;
  path = PathToWide(bytes);
  return true;
}

bool LinuxFileSystem::ExecutablePath(std::wstring& path) {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
  return AcceptExecutablePath(std::string(buffer, static_cast<std::size_t>(n)), path);
}

bool LinuxFileSystem::CurrentDirectory(std::wstring& path) {
  std::string buffer(PATH_MAX + 1, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return false;
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  // A folder removed while the tool runs in it has no path to write to.
  if (buffer.empty() || buffer.front() != '/') return false;
  path = PathToWide(buffer);
  return true;
}

std::string LinuxFileSystem::HostName() {
  // HOST_NAME_MAX (64) and a terminator gethostname may leave out when the
  // name was cut.
  char name[HOST_NAME_MAX + 2] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

bool LinuxFileSystem::IsInstalledProgramFolder(const std::wstring& folder) {
  std::string name;
  if (!WideToPath(folder, name)) return false;
  if (!installFolder_.empty() && name == installFolder_) return true;
  if (::access(name.c_str(), W_OK | X_OK) == 0) return false;
  return errno == EACCES || errno == EROFS || errno == EPERM;
}

std::string LinuxFileSystem::PathForMessage(const std::wstring& path) const {
  std::string bytes;
  return WideToPath(path, bytes) ? bytes : std::string("?");
}

namespace {
// The run's reason when a file of the tool cannot be made: its cause, its
// path and the system's word for why (a read-only folder, a full disk).
void NoteNotWritten(const std::string& name, int error) {
  struct stat st {};
  const bool folderAtPath = ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  runNotes().note(fileNotWrittenKind(error, folderAtPath), name + ": " + std::strerror(error),
                  error);
}

// Maps a new, empty file of `fd` (at `name`, made for `target`) to `size`
// bytes; the file is removed again when that fails.
void* MapNewFile(int fd, const std::string& name, const std::string& target, std::size_t size) {
  // Blocks are reserved now: a full disk fails here instead of faulting
  // when the mapping is written.
  const int reserved = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (reserved != 0) {
    ::unlink(name.c_str());
    NoteNotWritten(target, reserved);
    return nullptr;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    ::unlink(name.c_str());
    NoteNotWritten(target, error);
    return nullptr;
  }
  return view;
}

// The system's temporary folder: TMPDIR when it names an absolute folder,
// else /tmp.
std::string TemporaryFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && tmpdir[0] == '/') return tmpdir;
  return "/tmp";
}
}  // namespace

std::unique_ptr<IFileSystem::MappedFile> LinuxFileSystem::CreateMappedTemporary(
    std::size_t size, std::wstring& path) {
  if (size == 0) return nullptr;
  std::string name = TemporaryFolder();
  if (name.back() != '/') name.push_back('/');
  name += "qvflash-XXXXXX";
  // mkostemp: a fresh name, O_EXCL, mode 0600.
  Fd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd) {
    NoteNotWritten(name, errno);
    return nullptr;
  }
  void* view = MapNewFile(fd.get(), name, name, size);
  if (view == nullptr) return nullptr;
  path = PathToWide(name);
  return std::make_unique<LinuxMappedFile>(fd.release(), view, size);
}

std::unique_ptr<IFileSystem::MappedFile> LinuxFileSystem::CreateMapped(const std::wstring& path,
                                                                       std::size_t size) {
  std::string target;
  if (size == 0 || !WideToPath(path, target)) return nullptr;
  std::string temp;
  Fd fd = CreateTempBeside(target, temp);
  if (!fd) {
    NoteNotWritten(target, errno);
    return nullptr;
  }
  void* view = MapNewFile(fd.get(), temp, target, size);
  if (view == nullptr) return nullptr;
  // The file takes the target's name now, as a file created to replace an
  // existing one would: rename() replaces whatever entry sits at the name
  // (a symbolic link included) without following it.
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::munmap(view, size);
    ::unlink(temp.c_str());
    NoteNotWritten(target, error);
    return nullptr;
  }
  return std::make_unique<LinuxMappedFile>(fd.release(), view, size);
}

namespace {
// Why a file could not be read back, for the person: the path and the
// system's reason.
IFileSystem::ReadResult NoteNotRead(const std::string& name, int error,
                                    IFileSystem::ReadResult result) {
  runNotes().note(FailureKind::FileNotRead,
                  name + ": " + (error != 0 ? std::strerror(error) : "not a regular file"),
                  error != 0 ? std::optional<std::int32_t>(error) : std::nullopt);
  return result;
}
}  // namespace

IFileSystem::ReadResult LinuxFileSystem::ReadFile(const std::wstring& path,
                                                  std::span<std::uint8_t> buffer,
                                                  std::size_t& length) {
  length = 0;
  std::string name;
  if (!WideToPath(path, name)) return ReadResult::CannotOpen;
  Fd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return NoteNotRead(name, errno, ReadResult::CannotOpen);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return NoteNotRead(name, errno, ReadResult::ReadError);
  if (!S_ISREG(st.st_mode)) return NoteNotRead(name, 0, ReadResult::ReadError);
  if (static_cast<std::uint64_t>(st.st_size) > buffer.size()) return ReadResult::TooLong;

  std::size_t total = 0;
  while (total < buffer.size()) {
    const ssize_t n = ::read(fd.get(), buffer.data() + total, buffer.size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return NoteNotRead(name, errno, ReadResult::ReadError);
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  if (total == buffer.size()) {
    // The file may have grown since it was measured: a further byte means
    // it does not fit.
    std::uint8_t probe;
    ssize_t n;
    do {
      n = ::read(fd.get(), &probe, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return NoteNotRead(name, errno, ReadResult::ReadError);
    if (n > 0) return ReadResult::TooLong;
  }
  length = total;
  return ReadResult::Ok;
}

bool LinuxFileSystem::WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) {
  std::string target;
  if (!WideToPath(path, target)) return false;
  std::string temp;
  Fd fd = CreateTempBeside(target, temp);
  bool written = static_cast<bool>(fd);
  int error = written ? 0 : errno;
  if (written && (!WriteAll(fd.get(), data.data(), data.size()) || ::fsync(fd.get()) != 0 ||
                  ::close(fd.release()) != 0 || ::rename(temp.c_str(), target.c_str()) != 0)) {
    error = errno;
    written = false;
    ::unlink(temp.c_str());
  }
  if (!written) NoteNotWritten(target, error);
  return written;
}

bool LinuxFileSystem::CheckWritable(const std::wstring& path) {
  std::string target;
  if (!WideToPath(path, target)) return false;
  std::string temp;
  const Fd fd = CreateTempBeside(target, temp);
  if (!fd) {
    NoteNotWritten(target, errno);
    return false;
  }
  ::unlink(temp.c_str());
  // A folder at the name cannot be replaced by a file.
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    NoteNotWritten(target, EISDIR);
    return false;
  }
  return true;
}

bool LinuxFileSystem::RemoveFile(const std::wstring& path) {
  std::string name;
  if (!WideToPath(path, name)) return false;
  return ::unlink(name.c_str()) == 0;
}

}  // namespace qv::linux_host

namespace qv::linux_host {

bool LinuxFileSystem::StateFolder(std::wstring& folder) {
  // The XDG Base Directory rules: a relative value is ignored.
  const std::optional<std::filesystem::path> state = environmentPath("XDG_STATE_HOME");
  std::string base;
  if (state && state->native().starts_with('/')) {
    base = state->native();
  } else {
    const std::optional<std::filesystem::path> home = environmentPath("HOME");
    if (!home || !home->native().starts_with('/')) return false;
    base = home->native();
    if (!base.ends_with('/')) base.push_back('/');
    base += ".local/state";
  }
  if (!base.ends_with('/')) base.push_back('/');
  folder = PathToWide(base + "qvflash/");
  return true;
}

bool LinuxFileSystem::CreateFolders(const std::wstring& folder) {
  std::string name;
  if (!WideToPath(folder, name) || name.empty()) return false;
  if (!name.ends_with('/')) name.push_back('/');
  // Each folder on the way, from the root down; one that exists is taken
  // as it is.
  for (std::size_t cut = name.find('/', 1); cut != std::string::npos;
       cut = name.find('/', cut + 1)) {
    const std::string step = name.substr(0, cut);
    if (::mkdir(step.c_str(), 0700) == 0 || errno == EEXIST) continue;
    NoteNotWritten(step, errno);
    return false;
  }
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    NoteNotWritten(name, ENOTDIR);
    return false;
  }
  return true;
}

bool LinuxFileSystem::AppendLine(const std::wstring& path, std::string_view line) {
  std::string name;
  if (!WideToPath(path, name)) return false;
  // O_APPEND: each write lands at the end as one piece, whoever else
  // appends at the same time.
  const Fd fd(::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return false;
  ssize_t n;
  do {
    n = ::write(fd.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(line.size());
}

}  // namespace qv::linux_host
