#pragma once
// The write phase on Windows, through the console control handler: during
// it, Ctrl-C and Ctrl-Break print the notice once on standard error and are
// otherwise ignored; outside it they are left to the system's default
// handler, which ends the process at once. Closing the console window (or
// logging off, shutting down) cannot be refused: the system ends the process
// when the handler returns or, at the latest, after a few seconds. During the
// write phase the handler holds on until the phase ends, which gives the
// update those seconds and no more.
//
// Idle sleep is held off for the write phase through the thread's execution
// state (system required, continuous), cleared again at the phase's end.
//
// A broken pipe raises nothing on Windows: a failed console write is simply
// not an error the run acts on (see the console).

#include <string>

#include "platform/write_phase.h"

namespace qv::win32 {

class Win32WriteGuard final : public IWriteGuard {
 public:
  Win32WriteGuard();
  ~Win32WriteGuard() override;
  Win32WriteGuard(const Win32WriteGuard&) = delete;
  Win32WriteGuard& operator=(const Win32WriteGuard&) = delete;

  void BeginWrite() override;
  void EndWrite() override;
  void DeferStops(bool defer) override;
  bool StopRequested() const override;
  std::string_view SleepHoldNote() const override { return sleepNote_; }

 private:
  std::string sleepNote_;
};

}  // namespace qv::win32
