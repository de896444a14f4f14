#pragma once
// The Windows implementations of the platform services (one source file per
// concept). Only this backend includes the Windows headers.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/camera_stack.h"
#include "platform/device_registry.h"
#include "platform/os_services.h"

namespace qv::win32 {

// Closes a kernel handle exactly once.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }
  void reset(HANDLE h = nullptr) {
    if (h_) ::CloseHandle(h_);
    h_ = (h == INVALID_HANDLE_VALUE) ? nullptr : h;
  }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

class Win32FileSystem final : public IFileSystem {
 public:
  bool ExecutablePath(std::wstring& path) override;
  wchar_t PathSeparator() const override { return L'\\'; }
  std::size_t PathLimit() const override { return kMaxPath; }
  bool CurrentDirectory(std::wstring& path) override;
  // A folder this user may not create a file in.
  bool IsInstalledProgramFolder(const std::wstring& folder) override;
  std::string PathForMessage(const std::wstring& path) const override;
  std::unique_ptr<MappedFile> CreateMapped(const std::wstring& path, std::size_t size) override;
  std::unique_ptr<MappedFile> CreateMappedTemporary(std::size_t size, std::wstring& path) override;
  ReadResult ReadFile(const std::wstring& path, std::span<std::uint8_t> buffer,
                      std::size_t& length) override;
  bool WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) override;
  bool CheckWritable(const std::wstring& path) override;
  bool RemoveFile(const std::wstring& path) override;
  // GetComputerNameExW(ComputerNameDnsHostname), as UTF-8.
  std::string HostName() override;
  bool StateFolder(std::wstring& folder) override;
  bool CreateFolders(const std::wstring& folder) override;
  bool AppendLine(const std::wstring& path, std::string_view line) override;
};

class Win32Resources final : public IResources {
 public:
  std::span<const std::uint8_t> FindBinary(int id) override;
};

class Win32Profile final : public IProfile {
 public:
  std::uint32_t ReadProfileString(std::string_view section, std::string_view key,
                                  std::string_view defaultValue, char* buffer, std::uint32_t size,
                                  const std::wstring& path) override;
};

class Win32Clock final : public IClock {
 public:
  Win32Clock();
  void Sleep(std::uint32_t milliseconds) override;
  std::uint64_t NowMicroseconds() override;
  std::int64_t UtcSeconds() override;

 private:
  std::uint64_t frequency_ = 0;
};

class Win32InstanceGuard final : public IInstanceGuard {
 public:
  Result Create(std::wstring_view name) override;

 private:
  // Kept open for the life of the process: the guard is the open handles,
  // the session's name and the global one.
  UniqueHandle mutex_;
  UniqueHandle globalMutex_;
};

class Win32Console final : public IConsole {
 public:
  // Switches QuickEdit off in a console that has it on; the destructor (or
  // Ctrl+C, or closing the window) restores the input mode found.
  Win32Console();
  ~Win32Console() override;
  Win32Console(const Win32Console&) = delete;
  Win32Console& operator=(const Win32Console&) = delete;
  void WriteWide(std::wstring_view text) override;
  void WriteNarrow(std::string_view text) override;
  void WriteError(std::string_view text) override;
  bool ErrorIsTerminal() override;
  bool OutputIsTerminal() override;
  unsigned ErrorColumns() override;
  bool ErrorSharesOutput() override;
  // Exit codes are 32-bit DWORDs; a management agent reads them as signed
  // numbers, so the positive ones.
  std::uint32_t LargestExitCode() const override { return 0x7FFFFFFF; }

 private:
  bool restoresInput_ = false;
};

// Wide text as the bytes the console receives: ASCII unchanged, anything
// else as UTF-8, a character without a text form as '?' (the same bytes on
// every platform's build).
std::string consoleBytes(std::wstring_view text);

class Win32CameraStack final : public ICameraStack {
 public:
  HResult CoInitialize() override;
  void CoUninitialize() override;
  HResult CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) override;

 private:
  // Successful CoInitialize calls not yet balanced: CoUninitialize is only
  // ever called to balance one of them.
  std::uint32_t initialized_ = 0;
};

class Win32DeviceRegistry final : public IDeviceRegistry {
 public:
  std::unique_ptr<IImageDeviceList> OpenPresentImageDevices() override;
  std::unique_ptr<IImageDeviceList> OpenPresentCameraDevices() override;
};

}  // namespace qv::win32
