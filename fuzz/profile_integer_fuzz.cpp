// The decimal reading of a profile value (setting.ini) on any text: the
// C library's base-10 conversion clamped to 32 bits, as atoi reads it on
// the tool's home platform.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flash/download_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The profile call hands over a terminated text of at most 9 characters;
  // longer ones are taken too.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::int32_t value = qv::ParseProfileInteger(text.c_str());
  errno = 0;
  long long reference = std::strtoll(text.c_str(), nullptr, 10);
  if (reference > INT32_MAX) reference = INT32_MAX;
  if (reference < INT32_MIN) reference = INT32_MIN;
  if (value != reference) __builtin_trap();
  return 0;
}
