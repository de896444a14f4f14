#pragma once
// The simulator's clock: virtual (every request and sleep advances it and
// nothing blocks) or real (time passes as on hardware).

#include <chrono>
#include <cstdint>

namespace qv::sim {

class SimClock {
 public:
  explicit SimClock(bool real);

  bool real() const { return real_; }
  // Nanoseconds since the session started.
  std::uint64_t nowNs() const;
  std::uint64_t nowUs() const { return nowNs() / 1000; }
  // Lets `ns` pass: advances the virtual time, or blocks for real.
  void advance(std::uint64_t ns);
  // Lets time pass until `ns` (nothing when it has passed already).
  void advanceTo(std::uint64_t ns);

 private:
  bool real_;
  std::uint64_t virtualNs_ = 0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace qv::sim
