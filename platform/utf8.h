#pragma once
// UTF-8, the one encoding of text the tool writes to files and to the
// console on every build.

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// Appends the UTF-8 bytes of the Unicode scalar value `c` (below U+110000,
// not a surrogate: the caller decides what stands for anything else).
inline void appendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The code point at `text[i]` of wide text (UTF-16 on Windows, UTF-32
// elsewhere), a surrogate pair joined (`i` then steps past its second
// half). A lone surrogate, or a value beyond U+10FFFF, comes back as it is:
// the caller decides what stands for it.
inline std::uint32_t wideCodePoint(std::wstring_view text, std::size_t& i) {
  std::uint32_t c = static_cast<std::uint32_t>(text[i]);
  if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
    const std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
  }
  return c;
}

// Whether `c` is a Unicode scalar value (UTF-8 can carry it).
constexpr bool isScalarValue(std::uint32_t c) {
  return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

}  // namespace qv
