// ParseHexField on every four characters: a value, or 0xFFFF for a
// character it does not take, reading exactly four bytes.
#include <cstdint>
#include <cstring>
#include <memory>

#include "camera/camera_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  // Exactly four bytes on the heap, so that a fifth read is caught.
  const std::unique_ptr<char[]> field(new char[4]);
  std::memcpy(field.get(), data, 4);
  const std::uint16_t value = qv::ParseHexField(field.get());
  // Every accepted character is a digit of 0 to 15 at its own place.
  std::uint16_t expected = 0;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    unsigned digit = 0;
    if (c == '\0' || c == ' ')
      digit = 0;
    else if (c >= '0' && c <= '?')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else {
      expected = 0xFFFF;
      break;
    }
    expected = static_cast<std::uint16_t>(expected | digit << (12 - 4 * i));
  }
  if (value != expected) __builtin_trap();
  return 0;
}
