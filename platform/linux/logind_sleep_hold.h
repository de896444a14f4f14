#pragma once
// Idle sleep held off through logind: a "sleep:idle" inhibitor lock in
// "block" mode, asked of org.freedesktop.login1.Manager.Inhibit over the
// system bus. logind hands the lock over as a file descriptor (passed with
// SCM_RIGHTS); the lock lasts until that descriptor is closed, by Release
// or by the process's end, whichever comes first.
//
// The bus is spoken to directly (SASL EXTERNAL with Unix fd passing, Hello,
// Inhibit), so the program needs no libdbus or libsystemd and still links
// statically. Every wait is bounded: a bus that does not answer costs at
// most kBusWaitMs and the update goes on without the lock, as it does where
// there is no system bus (a container, a minimal system) or logind refuses.

#include <string>

namespace qv::linux_host {

class LogindSleepHold {
 public:
  // How long the whole exchange with the bus may take.
  static constexpr int kBusWaitMs = 2000;

  // `busAddress` in the bus's own form ("unix:path=/run/dbus/system_bus_socket").
  explicit LogindSleepHold(std::string busAddress) : address_(std::move(busAddress)) {}
  ~LogindSleepHold() { Release(); }
  LogindSleepHold(const LogindSleepHold&) = delete;
  LogindSleepHold& operator=(const LogindSleepHold&) = delete;

  // Takes the lock (nothing when it is held already). Empty when held;
  // otherwise why not, one line without its end.
  std::string Take();
  void Release();
  bool held() const { return lock_ >= 0; }

  // The system bus: DBUS_SYSTEM_BUS_ADDRESS, else the standard socket.
  static std::string SystemBusAddress();

 private:
  std::string address_;
  int lock_ = -1;
};

}  // namespace qv::linux_host
