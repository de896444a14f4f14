#pragma once
// How thinly the fault sweeps step through an update. By default they fail
// every request in turn; QVFLASH_SWEEP_STRIDE=n in the environment makes them
// take every n-th request, still from the first to the last, for builds whose
// runs cost many times more (the sanitizer build sets it).

#include <cstdint>
#include <cstdlib>

namespace qv::testing {

inline std::uint32_t SweepStride() {
  const char* text = std::getenv("QVFLASH_SWEEP_STRIDE");
  if (text == nullptr) return 1;
  const unsigned long value = std::strtoul(text, nullptr, 10);
  return value == 0 || value > 4096 ? 1 : static_cast<std::uint32_t>(value);
}

}  // namespace qv::testing
