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
// The logic marks the phase (WritePhase); the OS backend (platform/linux,
// platform/win32) holds the signals or console events off while it lasts.

#include <string_view>

namespace qv {

inline constexpr std::string_view kWritePhaseNotice =
    "The camera is being written: wait for Pass or Fail; do not unplug it.";

class IWriteGuard {
 public:
  virtual ~IWriteGuard() = default;
  virtual void BeginWrite() = 0;
  virtual void EndWrite() = 0;
};

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

// The write phase for the lifetime of this object.
class WritePhase {
 public:
  WritePhase() : guard_(writeGuard()) { guard_.BeginWrite(); }
  ~WritePhase() { guard_.EndWrite(); }
  WritePhase(const WritePhase&) = delete;
  WritePhase& operator=(const WritePhase&) = delete;

 private:
  IWriteGuard& guard_;
};

}  // namespace qv
