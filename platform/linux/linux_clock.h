#pragma once
// Time on Linux: nanosleep and the monotonic clock.

#include "platform/os_services.h"

namespace qv::linux_host {

class LinuxClock : public IClock {
 public:
  void Sleep(std::uint32_t milliseconds) override;
  std::uint64_t NowMicroseconds() override;
  std::int64_t UtcSeconds() override;
};

}  // namespace qv::linux_host
