#pragma once
// The write phase on Linux: SIGINT (Ctrl-C), SIGTERM and SIGHUP are caught
// for the life of this object. During the write phase the first of them
// prints the notice on standard error and is otherwise ignored; outside it
// the signal's own default action is taken at once (the process ends as if
// nothing had been caught), unless stops are deferred: then the first one
// only asks the run to stop. SIGPIPE is ignored for good: a closed standard
// output or error makes writes fail (EPIPE), never ends an update.
//
// One per process (signal dispositions are process-wide).

#include <csignal>

#include "platform/write_phase.h"

namespace qv::linux_host {

class LinuxWriteGuard final : public IWriteGuard {
 public:
  LinuxWriteGuard();
  ~LinuxWriteGuard() override;
  LinuxWriteGuard(const LinuxWriteGuard&) = delete;
  LinuxWriteGuard& operator=(const LinuxWriteGuard&) = delete;

  void BeginWrite() override;
  void EndWrite() override;
  void DeferStops(bool defer) override;
  bool StopRequested() const override;

 private:
  struct sigaction previous_[3]{};
};

}  // namespace qv::linux_host
