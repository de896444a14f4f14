#pragma once
// The write phase: from the first request that changes a camera's flash or
// enters its download mode until the camera is out of download mode again.
// A process ended in that time leaves a half-written flash that may no longer
// start the camera, so while it lasts the keyboard's interrupt (Ctrl-C,
// Ctrl-Break), a request to terminate and the terminal's hang-up do not end
// the process: the first of them prints kWritePhaseNotice once on standard
// error and the run finishes as it would have. Outside the phase they end the
// process at once, as they always did (nothing has been written yet, or all
// of it has).
//
// A run that writes a report of what it did (the long options) asks for
// more (DeferStops): outside the write phase the first such signal no longer
// ends the process but asks the run to stop (StopRequested) before its next
// writing request, so that the report still tells what was done; a second
// one ends the process at once, as before. In the write phase the signal
// also asks the run to stop once the camera being written is done.
//
// The logic marks the phase (WritePhase); the OS backend (platform/linux,
// platform/win32) holds the signals or console events off while it lasts,
// and idle sleep with them: a laptop that suspends on idle in the middle of
// the write leaves the camera as an ended process would. Where the system
// will not hold sleep off (no system bus, logind refuses) the write goes on
// all the same, and the guard says why in one line (SleepHoldNote) that a
// verbose run shows.

#include <string>
#include <string_view>

namespace qv {

inline constexpr std::string_view kWritePhaseNotice =
    "The camera is being written: wait for Pass or Fail; do not unplug it.";
// Told once when a deferred stop is asked for outside the write phase.
inline constexpr std::string_view kStopNotice =
    "qvflash: stopping: nothing more will be written; the run ends with its report "
    "(press again to end at once).";

class IWriteGuard {
 public:
  virtual ~IWriteGuard() = default;
  virtual void BeginWrite() = 0;
  virtual void EndWrite() = 0;
  // From now on (until called with false) signals outside the write phase
  // ask the run to stop instead of ending the process.
  virtual void DeferStops(bool /*defer*/) {}
  // Whether a deferred stop has been asked for.
  virtual bool StopRequested() const { return false; }
  // Why idle sleep is not held off in the write phase begun last (a line of
  // SleepNotHeldLine), or empty: held off, or not this guard's to hold.
  virtual std::string_view SleepHoldNote() const { return {}; }
};

// The line for standard error when idle sleep is not held off; `why` is the
// system's reason, one line without its end.
inline std::string SleepNotHeldLine(std::string_view why) {
  return "qvflash: idle sleep is not held off while the camera is written (" + std::string(why) +
         "): keep the machine awake until Pass or Fail\n";
}

namespace detail {
class NoWriteGuard final : public IWriteGuard {
 public:
  void BeginWrite() override {}
  void EndWrite() override {}
};
inline IWriteGuard*& installedWriteGuard() {
  static IWriteGuard* guard = nullptr;
  return guard;
}
}  // namespace detail

// The process's guard: the one the entry point installed, or one that does
// nothing (a run inside a test, where the signals are the test's own).
inline IWriteGuard& writeGuard() {
  static detail::NoWriteGuard none;
  IWriteGuard* installed = detail::installedWriteGuard();
  return installed != nullptr ? *installed : none;
}
// Installs `guard` (not owned; null: none again).
inline void setWriteGuard(IWriteGuard* guard) { detail::installedWriteGuard() = guard; }

// Deferred stops for the lifetime of this object.
class DeferredStops {
 public:
  DeferredStops() : guard_(writeGuard()) { guard_.DeferStops(true); }
  ~DeferredStops() { guard_.DeferStops(false); }
  DeferredStops(const DeferredStops&) = delete;
  DeferredStops& operator=(const DeferredStops&) = delete;

 private:
  IWriteGuard& guard_;
};

// The write phase for the lifetime of this object.
// Phases nest (a restore around the download it runs): only the outermost
// begins and ends the guard's phase, so an inner one ending never lets the
// signals or idle sleep back in while the outer one still writes.
class WritePhase {
 public:
  WritePhase() : guard_(writeGuard()) {
    if (depth()++ == 0) guard_.BeginWrite();
  }
  ~WritePhase() {
    if (--depth() == 0) guard_.EndWrite();
  }
  WritePhase(const WritePhase&) = delete;
  WritePhase& operator=(const WritePhase&) = delete;
  // Why idle sleep is not held off during this phase; empty when it is.
  std::string_view sleepHoldNote() const { return guard_.SleepHoldNote(); }

 private:
  static int& depth() {
    static int phases = 0;
    return phases;
  }
  IWriteGuard& guard_;
};

}  // namespace qv
