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

// File names on Linux are bytes, in no particular encoding. A path becomes
// wide text losslessly: valid UTF-8 as its characters, and every byte that
// is not part of valid UTF-8 as U+DC80 + (byte - 0x80), a lone surrogate that
// no valid UTF-8 decodes to ("surrogate escape"). Never fails.
std::wstring PathToWide(std::string_view bytes);
// The path's bytes back: escaped bytes as themselves, the other characters as
// UTF-8. False on a NUL, another surrogate or a value above U+10FFFF.
bool WideToPath(std::wstring_view wide, std::string& bytes);

}  // namespace qv::linux_host
