#pragma once
// Files on Linux. Paths are the system's bytes carried in wide text (see
// PathToWide): no encoding is required and the tool sets no length limit of
// its own. Every file this
// program creates or replaces is written under a fresh temporary name in the
// same folder and renamed over the target, so a symbolic link planted at the
// target's name is replaced, never followed.

#include <string>
#include <utility>

#include "platform/os_services.h"

namespace qv::linux_host {

class LinuxFileSystem : public IFileSystem {
 public:
  // `installFolder`: the folder the program is installed to (bin/ of the
  // install prefix), or empty.
  explicit LinuxFileSystem(std::string installFolder = {})
      : installFolder_(std::move(installFolder)) {}
  // The target of /proc/self/exe.
  bool ExecutablePath(std::wstring& path) override;
  wchar_t PathSeparator() const override { return L'/'; }
  std::size_t PathLimit() const override { return 0; }
  bool CurrentDirectory(std::wstring& path) override;
  // The install folder, or a folder this user may not create files in.
  bool IsInstalledProgramFolder(const std::wstring& folder) override;
  std::string PathForMessage(const std::wstring& path) const override;
  std::unique_ptr<MappedFile> CreateMappedTemporary(std::size_t size, std::wstring& path) override;
  std::unique_ptr<MappedFile> CreateMapped(const std::wstring& path, std::size_t size) override;
  ReadResult ReadFile(const std::wstring& path, std::span<std::uint8_t> buffer,
                      std::size_t& length) override;
  bool WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) override;
  bool CheckWritable(const std::wstring& path) override;
  bool RemoveFile(const std::wstring& path) override;
  // gethostname.
  std::string HostName() override;
  bool StateFolder(std::wstring& folder) override;
  bool CreateFolders(const std::wstring& folder) override;
  bool AppendLine(const std::wstring& path, std::string_view line) override;

 protected:
  // The executable path from its bytes: false only when it is empty or
  // holds a NUL.
  static bool AcceptExecutablePath(const std::string& bytes, std::wstring& path);

 private:
  std::string installFolder_;
};

}  // namespace qv::linux_host
