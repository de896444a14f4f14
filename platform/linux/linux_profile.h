#pragma once
// The INI profile read on Linux, with the semantics of
// GetPrivateProfileStringA: section and key names match without regard to
// letter case and surrounding blanks; the first matching section and the
// first matching key in it count; the value is the text after the first "="
// with surrounding blanks removed and one pair of enclosing quotes (" or ')
// dropped; lines starting with ";" are comments. A missing file, section or
// key gives the default (trailing blanks removed). The result is truncated to
// size - 1 characters and NUL-terminated; the count copied is returned.

#include "platform/os_services.h"

namespace qv::linux_host {

// The lookup on INI text already in memory.
std::uint32_t ReadProfileStringFromText(std::string_view text, std::string_view section,
                                        std::string_view key, std::string_view defaultValue,
                                        char* buffer, std::uint32_t size);

class LinuxProfile : public IProfile {
 public:
  std::uint32_t ReadProfileString(std::string_view section, std::string_view key,
                                  std::string_view defaultValue, char* buffer, std::uint32_t size,
                                  const std::wstring& path) override;
};

}  // namespace qv::linux_host
