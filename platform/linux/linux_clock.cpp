#include "platform/linux/linux_clock.h"

#include <time.h>

#include <cerrno>

namespace qv::linux_host {

void LinuxClock::Sleep(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal cuts the sleep short; sleep on for what is left.
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::uint64_t LinuxClock::NowMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

std::int64_t LinuxClock::UtcSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  return static_cast<std::int64_t>(now.tv_sec);
}

}  // namespace qv::linux_host
