#include "platform/linux/linux_profile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/wide_text.h"

namespace qv::linux_host {
namespace {

// An INI file of the size this program reads is a few lines; anything past
// this bound is not looked at.
constexpr std::size_t kMaxProfileBytes = 1 << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::uint32_t CopyOut(std::string_view value, char* buffer, std::uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return static_cast<std::uint32_t>(n);
}

// The value of `key` in `section`, or false.
bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view& value) {
  // A UTF-8 byte-order mark before the first line is not part of it.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  bool inSection = false;
  bool sectionSeen = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (sectionSeen && inSection) return false;  // only the first such section counts
      const std::size_t close = line.find(']');
      const std::string_view name =
          Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      inSection = EqualNoCase(name, wantedSection);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (!EqualNoCase(Trim(line.substr(0, equals)), wantedKey)) continue;
    std::string_view v = Trim(line.substr(equals + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
      v = v.substr(1, v.size() - 2);
    }
    value = v;
    return true;
  }
  return false;
}

}  // namespace

std::uint32_t ReadProfileStringFromText(std::string_view text, std::string_view section,
                                        std::string_view key, std::string_view defaultValue,
                                        char* buffer, std::uint32_t size) {
  std::string_view value;
  if (FindValue(text, section, key, value)) return CopyOut(value, buffer, size);
  while (!defaultValue.empty() && defaultValue.back() == ' ') defaultValue.remove_suffix(1);
  return CopyOut(defaultValue, buffer, size);
}

std::uint32_t LinuxProfile::ReadProfileString(std::string_view section, std::string_view key,
                                              std::string_view defaultValue, char* buffer,
                                              std::uint32_t size, const std::wstring& path) {
  std::string text;
  std::string name;
  if (WideToPath(path, name)) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      text.resize(kMaxProfileBytes);
      std::size_t total = 0;
      while (total < text.size()) {
        const ssize_t n = ::read(fd, text.data() + total, text.size() - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
      }
      ::close(fd);
      text.resize(total);
    }
  }
  return ReadProfileStringFromText(text, section, key, defaultValue, buffer, size);
}

}  // namespace qv::linux_host
