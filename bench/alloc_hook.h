#pragma once
// Heap allocation counters of the benchmark binary, kept by its replacement
// of the global operator new and delete (single-threaded use).

#include <cstddef>
#include <cstdint>

namespace qv::bench {

struct AllocCounters {
  std::uint64_t allocations = 0;  // calls of operator new of any form
  std::size_t liveBytes = 0;      // usable bytes allocated and not yet freed
  std::size_t peakLiveBytes = 0;  // highest liveBytes since the last reset
};

AllocCounters& allocCounters();
// Starts a new peak measurement from the bytes live now.
void resetPeakLiveBytes();

}  // namespace qv::bench
