// The INI profile (setting.ini).
#include <windows.h>

#include <string>

#include "platform/win32/win32_services.h"

namespace qv::win32 {

namespace {

std::wstring widenAscii(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

}  // namespace

// GetPrivateProfileStringW rather than its narrow twin: the path stays wide
// as the system gave it, so a folder name outside the ANSI code page still
// finds setting.ini. Section, key and default are ASCII; the value is handed
// back in the ANSI code page, cut to size - 1 bytes and NUL-terminated, as
// GetPrivateProfileStringA would.
std::uint32_t Win32Profile::ReadProfileString(std::string_view section, std::string_view key,
                                              std::string_view defaultValue, char* buffer,
                                              std::uint32_t size, const std::wstring& path) {
  if (!buffer || size == 0) return 0;
  const std::wstring wSection = widenAscii(section);
  const std::wstring wKey = widenAscii(key);
  const std::wstring wDefault = widenAscii(defaultValue);
  std::wstring value(size, L'\0');
  const DWORD got = ::GetPrivateProfileStringW(wSection.c_str(), wKey.c_str(), wDefault.c_str(),
                                               value.data(), size, path.c_str());
  value.resize(got < size ? got : size - 1);

  std::uint32_t used = 0;
  for (wchar_t c : value) {
    char bytes[8];
    const int n = ::WideCharToMultiByte(CP_ACP, 0, &c, 1, bytes, sizeof bytes, nullptr, nullptr);
    if (n <= 0 || used + static_cast<std::uint32_t>(n) > size - 1) break;
    for (int i = 0; i < n; ++i) buffer[used++] = bytes[i];
  }
  buffer[used] = '\0';
  return used;
}

}  // namespace qv::win32
