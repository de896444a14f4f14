#pragma once
// Files on Linux. Paths are wide text converted to UTF-8. Every file this
// program creates or replaces is written under a fresh temporary name in the
// same folder and renamed over the target, so a symbolic link planted at the
// target's name is replaced, never followed.

#include "platform/os_services.h"

namespace qv::linux_host {

class LinuxFileSystem : public IFileSystem {
 public:
  // The target of /proc/self/exe.
  bool ExecutablePath(std::wstring& path) override;
  wchar_t PathSeparator() const override { return L'/'; }
  std::unique_ptr<MappedFile> CreateMapped(const std::wstring& path, std::size_t size) override;
  ReadResult ReadFile(const std::wstring& path, std::span<std::uint8_t> buffer,
                      std::size_t& length) override;
  bool WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) override;
  bool RemoveFile(const std::wstring& path) override;

 protected:
  // The executable path from its UTF-8 form: false when it is not valid
  // UTF-8 or does not fit kMaxPath wide characters with its terminator.
  static bool AcceptExecutablePath(const std::string& utf8, std::wstring& path);
};

}  // namespace qv::linux_host
