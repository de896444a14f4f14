#pragma once
// Minimal in-memory OS services for building a Platform in tests: files,
// resources, the INI profile, a manual clock, the instance guard and a
// console that keeps what was written.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qv::test {

class FakeFileSystem : public IFileSystem {
 public:
  std::wstring executablePath = L"C:\\tool\\qvflash.exe";
  std::map<std::wstring, std::vector<std::uint8_t>> files;
  bool writable = true;

  bool ExecutablePath(std::wstring& path) override {
    path = executablePath;
    return true;
  }
  wchar_t PathSeparator() const override { return L'\\'; }
  std::size_t PathLimit() const override { return kMaxPath; }
  std::wstring currentDirectory = L"C:\\work";
  bool CurrentDirectory(std::wstring& path) override {
    path = currentDirectory;
    return !path.empty();
  }
  bool installedCopy = false;  // the executable's folder is an installed one
  bool IsInstalledProgramFolder(const std::wstring&) override { return installedCopy; }
  std::string PathForMessage(const std::wstring& path) const override {
    return std::string(path.begin(), path.end());
  }

  class Mapped : public MappedFile {
   public:
    Mapped(std::vector<std::uint8_t>& target, std::size_t size) : target_(target), bytes_(size) {}
    ~Mapped() override { target_ = bytes_; }
    std::uint8_t* data() override { return bytes_.data(); }

   private:
    std::vector<std::uint8_t>& target_;
    std::vector<std::uint8_t> bytes_;
  };
  std::unique_ptr<MappedFile> CreateMapped(const std::wstring& path, std::size_t size) override {
    if (!writable) return nullptr;
    return std::make_unique<Mapped>(files[path], size);
  }
  int temporaries = 0;  // private temporary files made so far
  std::unique_ptr<MappedFile> CreateMappedTemporary(std::size_t size, std::wstring& path) override {
    if (!writable) return nullptr;
    path = L"C:\\Temp\\~qv" + std::to_wstring(++temporaries) + L".tmp";
    return std::make_unique<Mapped>(files[path], size);
  }
  ReadResult ReadFile(const std::wstring& path, std::span<std::uint8_t> buffer,
                      std::size_t& length) override {
    auto it = files.find(path);
    if (it == files.end()) return ReadResult::CannotOpen;
    if (it->second.size() > buffer.size()) return ReadResult::TooLong;
    std::memcpy(buffer.data(), it->second.data(), it->second.size());
    length = it->second.size();
    return ReadResult::Ok;
  }
  bool WriteFile(const std::wstring& path, std::span<const std::uint8_t> data) override {
    if (!writable) return false;
    files[path].assign(data.begin(), data.end());
    return true;
  }
  bool CheckWritable(const std::wstring&) override { return writable; }
  bool RemoveFile(const std::wstring& path) override { return files.erase(path) > 0; }
  std::wstring stateFolder;  // empty: the environment names none
  bool StateFolder(std::wstring& folder) override {
    folder = stateFolder;
    return !folder.empty();
  }
  bool CreateFolders(const std::wstring&) override { return writable; }
  bool AppendLine(const std::wstring& path, std::string_view line) override {
    if (!writable) return false;
    files[path].insert(files[path].end(), line.begin(), line.end());
    return true;
  }
};

class FakeResources : public IResources {
 public:
  std::map<int, std::vector<std::uint8_t>> binaries;
  std::span<const std::uint8_t> FindBinary(int id) override {
    auto it = binaries.find(id);
    if (it == binaries.end()) return {};
    return it->second;
  }
};

class FakeProfile : public IProfile {
 public:
  std::map<std::string, std::string> values;  // "SECTION/key" -> value
  std::uint32_t ReadProfileString(std::string_view section, std::string_view key,
                                  std::string_view defaultValue, char* buffer, std::uint32_t size,
                                  const std::wstring&) override {
    if (size == 0) return 0;
    auto it = values.find(std::string(section) + "/" + std::string(key));
    const std::string value = it != values.end() ? it->second : std::string(defaultValue);
    const std::uint32_t n =
        static_cast<std::uint32_t>(value.size() < size - 1 ? value.size() : size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
  }
};

// A clock that moves only when told: by sleeps, and by `tick()` (a fake
// camera ticks it once per request).
class FakeClock : public IClock {
 public:
  std::uint64_t now = 0;
  std::vector<std::uint32_t> sleeps;
  void Sleep(std::uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    now += std::uint64_t{milliseconds} * 1000;
  }
  std::uint64_t NowMicroseconds() override { return now; }
  std::int64_t utc = 1'796'774'400;  // 2026-12-09 00:00:00 UTC
  std::int64_t UtcSeconds() override { return utc; }
  void tick(std::uint64_t microseconds) { now += microseconds; }
};

class FakeInstanceGuard : public IInstanceGuard {
 public:
  Result result = Result::Created;
  Result Create(std::wstring_view) override { return result; }
};

class FakeConsole : public IConsole {
 public:
  std::string out;  // wide text narrowed (ASCII)
  std::string err;
  void WriteWide(std::wstring_view text) override {
    for (wchar_t c : text) out.push_back(static_cast<char>(c));
  }
  void WriteNarrow(std::string_view text) override { out.append(text); }
  void WriteError(std::string_view text) override { err.append(text); }
  bool terminal = false;  // what standard error is taken for
  bool ErrorIsTerminal() override { return terminal; }
};

// The OS services, bundled with a camera stack and device registry of the
// test's choice into a Platform.
struct FakeOs {
  FakeFileSystem files;
  FakeResources resources;
  FakeProfile profile;
  FakeClock clock;
  FakeInstanceGuard guard;
  FakeConsole console;

  Platform platform(ICameraStack& cameras, IDeviceRegistry& registry) {
    return Platform{cameras, registry, clock, files, resources, profile, guard, console};
  }
  Platform platform(ICameraStack& cameras, IDeviceRegistry& registry, IClock& otherClock) {
    return Platform{cameras, registry, otherClock, files, resources, profile, guard, console};
  }
};

}  // namespace qv::test
