#pragma once
// Conversion between the logic's wide text (UTF-32 wchar_t on Linux) and the
// UTF-8 byte strings of the Linux system calls. Strict: text that has no
// exact counterpart fails the conversion instead of being altered.

#include <string>
#include <string_view>

namespace qv::linux_host {

// False on a surrogate, a value above U+10FFFF, or an embedded NUL.
bool WideToUtf8(std::wstring_view wide, std::string& utf8);
// False on a malformed or overlong sequence or an embedded NUL.
bool Utf8ToWide(std::string_view utf8, std::wstring& wide);

}  // namespace qv::linux_host
