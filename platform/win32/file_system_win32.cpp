// Files: the executable's path, the writable mapping used to extract the
// image, bounded reads, whole-file replacement and deletion.
//
// A file is replaced by creating the new one under a scratch name beside it
// and then renaming it over the old name. The rename replaces whatever entry
// sits at the name, a symbolic link or a second hard link included, without
// writing through it: the link's target is never touched. (Opening the name
// itself with CREATE_ALWAYS would write through a link on some file systems.)
#include <windows.h>

#include <string>
#include <vector>

#include "platform/failure_notes.h"
#include "platform/host.h"
#include "platform/win32/os_error.h"
#include "platform/win32/win32_services.h"

// "An operation is not supported on a directory." (winerror.h of newer SDKs)
#ifndef ERROR_DIRECTORY_NOT_SUPPORTED
#define ERROR_DIRECTORY_NOT_SUPPORTED 336L
#endif

namespace qv::win32 {

namespace {

// Paths of MAX_PATH characters or more need the extended-length form.
std::wstring extendedIfLong(const std::wstring& path) {
  const bool driveAbsolute = path.size() > 2 && path[1] == L':' && path[2] == L'\\';
  if (path.size() < MAX_PATH || !driveAbsolute) return path;
  return L"\\\\?\\" + path;
}

// The cause of a file that could not be written: a folder at its path, or a
// path longer than MAX_PATH with its terminator, beside the system's error.
FailureKind notWrittenKind(DWORD error, const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(extendedIfLong(path).c_str());
  const bool folderAtPath =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // The length GetFullPathNameW needs includes the terminator.
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  return fileNotWrittenKind(error, folderAtPath, needed > MAX_PATH || path.size() >= MAX_PATH);
}

// Notes, when it goes out of scope before done(), that a file operation
// failed: the path and the system's reason (GetLastError as the failing call
// left it; the clean-up after a failure keeps it).
class FileFailureNote {
 public:
  FileFailureNote(FailureKind kind, const std::wstring& path) : kind_(kind), path_(path) {
    ::SetLastError(ERROR_SUCCESS);
  }
  ~FileFailureNote() {
    if (done_) return;
    const DWORD error = ::GetLastError();
    std::string why = "unknown reason";
    char text[256] = {};
    if (error != ERROR_SUCCESS &&
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                         0, text, sizeof text, nullptr) != 0) {
      why = text;
      while (!why.empty() &&
             (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.'))
        why.pop_back();
    }
    const FailureKind kind =
        kind_ == FailureKind::FileNotWritten ? notWrittenKind(error, path_) : kind_;
    runNotes().note(
        kind, consoleBytes(path_) + ": " + why,
        error != ERROR_SUCCESS ? std::optional<std::int32_t>(fromWin32Error(error)) : std::nullopt);
  }
  FileFailureNote(const FileFailureNote&) = delete;
  FileFailureNote& operator=(const FileFailureNote&) = delete;
  void done() { done_ = true; }
  // A result the caller explains itself (a file longer than expected).
  template <typename T>
  T doneWith(T result) {
    done_ = true;
    return result;
  }

 private:
  FailureKind kind_;
  const std::wstring& path_;
  bool done_ = false;
};

// DeleteFileW of a scratch file after a failure, keeping the failure's own
// error for the note.
void removeScratch(const std::wstring& temp) {
  const DWORD error = ::GetLastError();
  ::DeleteFileW(temp.c_str());
  ::SetLastError(error);
}

// A new, empty file beside `target` (CREATE_NEW never opens an existing
// entry), without sharing, with normal attributes. Its path goes to `temp`.
UniqueHandle createScratchBeside(const std::wstring& target, DWORD access, std::wstring& temp) {
  const std::size_t cut = target.find_last_of(L'\\');
  const std::wstring dir = cut == std::wstring::npos ? std::wstring() : target.substr(0, cut + 1);
  static unsigned counter = 0;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    temp = extendedIfLong(dir + L"~qv" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                          std::to_wstring(counter++) + L".tmp");
    UniqueHandle file(::CreateFileW(temp.c_str(), access, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) return file;
    if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  temp.clear();
  return {};
}

// The NT form of a path ("\\??\\C:\\dir\\name"), which renaming by handle
// needs: a plain name would be taken relative to different folders by
// different systems.
std::wstring ntPath(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  if (full.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + full.substr(4);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

// Renames the open file to `target`, replacing what is there.
bool renameOpenFile(HANDLE file, const std::wstring& target) {
  const std::wstring name = ntPath(target);
  if (name.empty()) return false;
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  std::copy(name.begin(), name.end(), info->FileName);
  return ::SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

bool writeAll(HANDLE file, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t left = data.size() - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file, data.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

class Win32MappedFile final : public IFileSystem::MappedFile {
 public:
  Win32MappedFile(UniqueHandle file, UniqueHandle mapping, void* view)
      : file_(std::move(file)), mapping_(std::move(mapping)), view_(view) {}
  ~Win32MappedFile() override {
    // Unmap the view, then close the mapping, then the file.
    ::UnmapViewOfFile(view_);
    mapping_.reset();
    file_.reset();
  }
  std::uint8_t* data() override { return static_cast<std::uint8_t*>(view_); }

 private:
  UniqueHandle file_;
  UniqueHandle mapping_;
  void* view_;
};

}  // namespace

bool Win32FileSystem::ExecutablePath(std::wstring& path) {
  wchar_t buffer[kMaxPath];
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(kMaxPath));
  // A path that filled the buffer was cut short (the call then returns the
  // buffer size): refuse it rather than hand on a truncated path, and tell
  // why (no file of the tool fits beside it).
  if (length >= kMaxPath) {
    runNotes().note(FailureKind::PathTooLong, "qvflash.exe: its path has 260 characters or more");
  }
  if (length == 0 || length >= kMaxPath) return false;
  path.assign(buffer, length);
  return true;
}

namespace {
// The read/write mapping of `size` bytes of a new scratch file and a view
// of all of it (the mapping gives the file its size, so a full disk fails
// here). Null views leave the handles to the caller.
void* mapScratch(const UniqueHandle& file, std::size_t size, UniqueHandle& mapping) {
  mapping.reset(::CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0,
                                     static_cast<DWORD>(size), nullptr));
  return mapping ? ::MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, size) : nullptr;
}
}  // namespace

std::unique_ptr<IFileSystem::MappedFile> Win32FileSystem::CreateMapped(const std::wstring& path,
                                                                       std::size_t size) {
  FileFailureNote failure(FailureKind::FileNotWritten, path);
  // A mapping of zero bytes does not exist (CreateFileMappingW would take the
  // empty file's size), and the view size is a 32-bit quantity here.
  if (size == 0 || size > 0x7FFFFFFFu) return nullptr;
  // CreateFileW with read/write access (and the right to rename it), no
  // sharing, a new file with normal attributes; then the mapping.
  std::wstring temp;
  UniqueHandle file = createScratchBeside(path, GENERIC_READ | GENERIC_WRITE | DELETE, temp);
  if (!file) return nullptr;
  UniqueHandle mapping;
  void* view = mapScratch(file, size, mapping);
  // The file takes its name while it is still open and unshared.
  if (!view || !renameOpenFile(file.get(), path)) {
    const DWORD error = ::GetLastError();
    if (view) ::UnmapViewOfFile(view);
    mapping.reset();
    file.reset();
    ::SetLastError(error);
    removeScratch(temp);
    return nullptr;
  }
  failure.done();
  return std::make_unique<Win32MappedFile>(std::move(file), std::move(mapping), view);
}

std::unique_ptr<IFileSystem::MappedFile> Win32FileSystem::CreateMappedTemporary(
    std::size_t size, std::wstring& path) {
  if (size == 0 || size > 0x7FFFFFFFu) return nullptr;
  // GetTempPathW: the user's own temporary folder (TMP, TEMP, USERPROFILE),
  // ending with a backslash; a new file there, created exclusively and
  // without sharing, private to this user by the folder's permissions.
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return nullptr;
  std::wstring temp;
  UniqueHandle file = createScratchBeside(std::wstring(folder, length) + L"tmp",
                                          GENERIC_READ | GENERIC_WRITE, temp);
  if (!file) return nullptr;
  UniqueHandle mapping;
  void* view = mapScratch(file, size, mapping);
  if (!view) {
    mapping.reset();
    file.reset();
    ::DeleteFileW(temp.c_str());
    return nullptr;
  }
  path = temp;
  return std::make_unique<Win32MappedFile>(std::move(file), std::move(mapping), view);
}

bool Win32FileSystem::CurrentDirectory(std::wstring& path) {
  const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) return false;
  std::wstring buffer(needed, L'\0');
  const DWORD length = ::GetCurrentDirectoryW(needed, buffer.data());
  if (length == 0 || length >= needed) return false;
  buffer.resize(length);
  path = std::move(buffer);
  return true;
}

std::string Win32FileSystem::HostName() {
  DWORD size = 0;
  (void)::GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
  if (size == 0) return {};
  std::wstring name(size, L'\0');
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size)) return {};
  name.resize(size);
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                           nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), text.data(), length,
                        nullptr, nullptr);
  return text;
}

bool Win32FileSystem::IsInstalledProgramFolder(const std::wstring& folder) {
  // Whether this user may create files here is what the folder's access
  // list says for this user's token; creating a probe file asks exactly
  // that (it is gone when its handle closes). The program runs asInvoker
  // (its manifest), so Program Files is never silently redirected to the
  // VirtualStore.
  std::wstring probe = folder;
  if (!probe.empty() && probe.back() != L'\\') probe.push_back(L'\\');
  probe += L"~qvprobe" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
  UniqueHandle file(::CreateFileW(extendedIfLong(probe).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                  nullptr));
  if (file) return false;
  const DWORD error = ::GetLastError();
  return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

std::string Win32FileSystem::PathForMessage(const std::wstring& path) const {
  if (path.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "?";
  std::string text(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()), text.data(), size,
                        nullptr, nullptr);
  return text;
}

IFileSystem::ReadResult Win32FileSystem::ReadFile(const std::wstring& path,
                                                  std::span<std::uint8_t> buffer,
                                                  std::size_t& length) {
  FileFailureNote failure(FailureKind::FileNotRead, path);
  length = 0;
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ReadResult::CannotOpen;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return ReadResult::ReadError;
  if (static_cast<unsigned long long>(size.QuadPart) > buffer.size())
    return failure.doneWith(ReadResult::TooLong);
  const auto wanted = static_cast<std::size_t>(size.QuadPart);
  std::size_t done = 0;
  while (done < wanted) {
    // ReadFile takes a 32-bit count: a 64-bit program's buffer can be larger.
    const std::size_t left = wanted - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer.data() + done, chunk, &got, nullptr) || got == 0) {
      return ReadResult::ReadError;
    }
    done += got;
  }
  length = done;
  failure.done();
  return ReadResult::Ok;
}

bool Win32FileSystem::WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) {
  // A reader never sees half a file: the name changes over only once the
  // content is complete.
  FileFailureNote failure(FailureKind::FileNotWritten, path);
  std::wstring temp;
  UniqueHandle file = createScratchBeside(path, GENERIC_WRITE, temp);
  if (!file) return false;
  const bool written = writeAll(file.get(), data) && ::FlushFileBuffers(file.get());
  const DWORD error = ::GetLastError();
  file.reset();
  ::SetLastError(error);
  if (!written || !::MoveFileExW(temp.c_str(), extendedIfLong(path).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    removeScratch(temp);
    return false;
  }
  failure.done();
  return true;
}

bool Win32FileSystem::CheckWritable(const std::wstring& path) {
  FileFailureNote failure(FailureKind::FileNotWritten, path);
  std::wstring temp;
  UniqueHandle file = createScratchBeside(path, GENERIC_WRITE, temp);
  if (!file) return false;
  file.reset();
  ::DeleteFileW(temp.c_str());
  // A folder at the name cannot be replaced by a file.
  const DWORD attributes = ::GetFileAttributesW(extendedIfLong(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::SetLastError(ERROR_DIRECTORY_NOT_SUPPORTED);
    return false;
  }
  failure.done();
  return true;
}

bool Win32FileSystem::RemoveFile(const std::wstring& path) {
  return ::DeleteFileW(path.c_str()) != 0;
}

bool Win32FileSystem::StateFolder(std::wstring& folder) {
  // Run as SYSTEM this is C:\Windows\System32\config\systemprofile\AppData\Local;
  // the file system redirector sends a 32-bit program's accesses there to
  // SysWOW64 on 64-bit Windows. The folder is taken as the system names it.
  const std::optional<std::filesystem::path> local = environmentPath("LOCALAPPDATA");
  if (!local || local->empty()) return false;
  std::wstring base = local->native();
  if (base.back() != L'\\') base.push_back(L'\\');
  folder = base + L"qvflash\\";
  return true;
}

bool Win32FileSystem::CreateFolders(const std::wstring& folder) {
  if (folder.empty()) return false;
  std::wstring name = folder;
  if (name.back() != L'\\') name.push_back(L'\\');
  // Each folder on the way, after the drive or the share; one that exists
  // is taken as it is.
  std::size_t cut = name.find(L'\\', name.rfind(L"\\\\", 0) == 0 ? 2 : 0);
  for (; cut != std::wstring::npos; cut = name.find(L'\\', cut + 1)) {
    const std::wstring step = name.substr(0, cut);
    if (step.empty() || step.back() == L':') continue;
    FileFailureNote failure(FailureKind::FileNotWritten, step);
    if (::CreateDirectoryW(extendedIfLong(step).c_str(), nullptr) ||
        ::GetLastError() == ERROR_ALREADY_EXISTS) {
      failure.done();
      continue;
    }
    // A share's own name ("\\\\server\\share") cannot be created, only used.
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_BAD_NETPATH || error == ERROR_INVALID_NAME) {
      const DWORD attributes = ::GetFileAttributesW(extendedIfLong(step).c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        failure.done();
        continue;
      }
    }
    ::SetLastError(error);
    return false;
  }
  const DWORD attributes = ::GetFileAttributesW(extendedIfLong(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32FileSystem::AppendLine(const std::wstring& path, std::string_view line) {
  // FILE_APPEND_DATA alone: every write lands at the end as one piece,
  // whoever else appends at the same time.
  const UniqueHandle file(::CreateFileW(extendedIfLong(path).c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

}  // namespace qv::win32
