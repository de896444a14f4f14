#include "sim/sim_clock.h"

#include <thread>

namespace qv::sim {

SimClock::SimClock(bool real) : real_(real), start_(std::chrono::steady_clock::now()) {}

std::uint64_t SimClock::nowNs() const {
  if (!real_) return virtualNs_;
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

void SimClock::advance(std::uint64_t ns) {
  if (!real_) {
    virtualNs_ += ns;
    return;
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

void SimClock::advanceTo(std::uint64_t ns) {
  const std::uint64_t now = nowNs();
  if (ns > now) advance(ns - now);
}

}  // namespace qv::sim
