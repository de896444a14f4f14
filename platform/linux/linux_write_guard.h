#pragma once
// The write phase on Linux: SIGINT (Ctrl-C), SIGTERM and SIGHUP are caught
// for the life of this object. During the write phase the first of them
// prints the notice on standard error and is otherwise ignored; outside it
// the signal's own default action is taken at once (the process ends as if
// nothing had been caught), unless stops are deferred: then the first one
// only asks the run to stop. SIGPIPE is ignored for good: a closed standard
// output or error makes writes fail (EPIPE), never ends an update.
//
// Idle sleep is held off through logind for the write phase (logind's
// inhibitor lock, taken before the phase's first request, closed at its end).
//
// One per process (signal dispositions are process-wide).

#include <csignal>
#include <string>

#include "platform/linux/logind_sleep_hold.h"
#include "platform/write_phase.h"

namespace qv::linux_host {

class LinuxWriteGuard final : public IWriteGuard {
 public:
  // `busAddress`: the system bus logind is asked over.
  explicit LinuxWriteGuard(std::string busAddress = LogindSleepHold::SystemBusAddress());
  ~LinuxWriteGuard() override;
  LinuxWriteGuard(const LinuxWriteGuard&) = delete;
  LinuxWriteGuard& operator=(const LinuxWriteGuard&) = delete;

  void BeginWrite() override;
  void EndWrite() override;
  void DeferStops(bool defer) override;
  bool StopRequested() const override;
  std::string_view SleepHoldNote() const override { return sleepNote_; }

 private:
  struct sigaction previous_[3]{};
  LogindSleepHold sleepHold_;
  std::string sleepNote_;
};

}  // namespace qv::linux_host
