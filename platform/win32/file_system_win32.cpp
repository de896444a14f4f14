// Files: the executable's path, the writable mapping used to extract the
// image, bounded reads, whole-file replacement and deletion.
//
// Replacing a file never writes through a link planted at its name: a
// symbolic link (reparse point) or a second hard link there is removed as a
// name and a new plain file takes its place, so the link's target is never
// touched.
#include <windows.h>

#include <string>

#include "platform/win32/win32_services.h"

namespace qv::win32 {

namespace {

// The opened object is reached through a link (or is one): writing to it
// would change a file that lives under another name.
bool isLinked(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return true;  // cannot tell: refuse
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1;
}

// CreateFileW with read/write access, no sharing and normal attributes,
// creating the file or emptying an existing one (CREATE_ALWAYS). A link at
// the name is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), detected and
// replaced by a new file.
UniqueHandle createReplacing(const std::wstring& path) {
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  UniqueHandle file(
      ::CreateFileW(path.c_str(), kAccess, 0, nullptr, CREATE_ALWAYS, kFlags, nullptr));
  if (!file || !isLinked(file.get())) return file;
  file.reset();
  if (!::DeleteFileW(path.c_str())) return {};
  // CREATE_NEW: should anything appear at the name again, give up.
  file.reset(::CreateFileW(path.c_str(), kAccess, 0, nullptr, CREATE_NEW, kFlags, nullptr));
  if (file && isLinked(file.get())) file.reset();
  return file;
}

// Paths of MAX_PATH characters or more need the extended-length form.
std::wstring extendedIfLong(const std::wstring& path) {
  const bool driveAbsolute = path.size() > 2 && path[1] == L':' && path[2] == L'\\';
  if (path.size() < MAX_PATH || !driveAbsolute) return path;
  return L"\\\\?\\" + path;
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
  // buffer size): refuse it rather than hand on a truncated path.
  if (length == 0 || length >= kMaxPath) return false;
  path.assign(buffer, length);
  return true;
}

std::unique_ptr<IFileSystem::MappedFile> Win32FileSystem::CreateMapped(const std::wstring& path,
                                                                       std::size_t size) {
  // A mapping of zero bytes does not exist (CreateFileMappingW would take the
  // empty file's size), and the view size is a 32-bit quantity here.
  if (size == 0 || size > 0x7FFFFFFFu) return nullptr;
  UniqueHandle file = createReplacing(path);
  if (!file) return nullptr;
  UniqueHandle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0,
                                            static_cast<DWORD>(size), nullptr));
  if (!mapping) return nullptr;
  void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, size);
  if (!view) return nullptr;
  return std::make_unique<Win32MappedFile>(std::move(file), std::move(mapping), view);
}

IFileSystem::ReadResult Win32FileSystem::ReadFile(const std::wstring& path,
                                                  std::span<std::uint8_t> buffer,
                                                  std::size_t& length) {
  length = 0;
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ReadResult::CannotOpen;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return ReadResult::ReadError;
  if (static_cast<unsigned long long>(size.QuadPart) > buffer.size()) return ReadResult::TooLong;
  const auto wanted = static_cast<std::size_t>(size.QuadPart);
  std::size_t done = 0;
  while (done < wanted) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer.data() + done, static_cast<DWORD>(wanted - done), &got,
                    nullptr) ||
        got == 0) {
      return ReadResult::ReadError;
    }
    done += got;
  }
  length = done;
  return ReadResult::Ok;
}

bool Win32FileSystem::WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) {
  // The new content goes to a fresh file beside the target, which then
  // replaces the target's name in one step: a reader never sees half a file,
  // and whatever was at the name (a link included) is replaced, not written
  // through.
  const std::size_t cut = path.find_last_of(L'\\');
  const std::wstring dir = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
  UniqueHandle file;
  std::wstring temp;
  for (unsigned attempt = 0; attempt < 16 && !file; ++attempt) {
    const std::wstring name = L"~qv" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(attempt) + L".tmp";
    temp = extendedIfLong(dir + name);
    file.reset(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (!file) return false;
  const bool written = writeAll(file.get(), data);
  file.reset();
  if (!written || !::MoveFileExW(temp.c_str(), extendedIfLong(path).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool Win32FileSystem::RemoveFile(const std::wstring& path) {
  return ::DeleteFileW(path.c_str()) != 0;
}

}  // namespace qv::win32
