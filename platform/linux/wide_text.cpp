#include "platform/linux/wide_text.h"

#include <cstdint>

#include "platform/utf8.h"

namespace qv::linux_host {

bool WideToUtf8(std::wstring_view wide, std::string& utf8) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t c : wide) {
    const auto v = static_cast<std::uint32_t>(c);
    if (v == 0 || !isScalarValue(v)) return false;
    appendUtf8(out, v);
  }
  utf8 = std::move(out);
  return true;
}

namespace {
constexpr std::uint32_t kEscapeBase = 0xDC00;  // byte b (0x80 to 0xFF) -> U+DC00 + b

// The length of the valid UTF-8 sequence at the start of `text` (0 when it
// does not start with one) and its value.
std::size_t DecodeOne(std::string_view text, std::uint32_t& value) {
  const auto lead = static_cast<std::uint8_t>(text[0]);
  std::uint32_t v;
  std::size_t extra;
  std::uint32_t minimum;
  if (lead < 0x80) {
    value = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    v = lead & 0x1F;
    extra = 1;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    v = lead & 0x0F;
    extra = 2;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    v = lead & 0x07;
    extra = 3;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() <= extra) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<std::uint8_t>(text[k]);
    if ((next & 0xC0) != 0x80) return 0;
    v = (v << 6) | (next & 0x3F);
  }
  if (v < minimum || !isScalarValue(v)) return 0;
  value = v;
  return extra + 1;
}
}  // namespace

std::wstring PathToWide(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::uint32_t v = 0;
    const std::size_t n = DecodeOne(bytes.substr(i), v);
    if (n == 0) {
      out.push_back(static_cast<wchar_t>(kEscapeBase + static_cast<std::uint8_t>(bytes[i])));
      ++i;
    } else {
      out.push_back(static_cast<wchar_t>(v));
      i += n;
    }
  }
  return out;
}

bool WideToPath(std::wstring_view wide, std::string& bytes) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const auto v = static_cast<std::uint32_t>(wide[i]);
    if (v >= kEscapeBase + 0x80 && v <= kEscapeBase + 0xFF) {
      out.push_back(static_cast<char>(v - kEscapeBase));
      continue;
    }
    if (v == 0 || !isScalarValue(v)) return false;
    appendUtf8(out, v);
  }
  bytes = std::move(out);
  return true;
}

bool Utf8ToWide(std::string_view utf8, std::wstring& wide) {
  std::wstring out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::uint32_t v = 0;
    const std::size_t n = DecodeOne(utf8.substr(i), v);
    if (n == 0 || v == 0) return false;
    out.push_back(static_cast<wchar_t>(v));
    i += n;
  }
  wide = std::move(out);
  return true;
}

}  // namespace qv::linux_host
