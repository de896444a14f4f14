#include "platform/linux/linux_write_guard.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

namespace qv::linux_host {
namespace {

constexpr std::array<int, 3> kHeldSignals{SIGINT, SIGTERM, SIGHUP};

// Read and written by the signal handler: only lock-free atomic flags.
volatile std::sig_atomic_t g_writing = 0;
volatile std::sig_atomic_t g_told = 0;
volatile std::sig_atomic_t g_deferStops = 0;
volatile std::sig_atomic_t g_stopRequested = 0;
// Whether standard error is a terminal, settled when the phase begins: a
// progress bar line may be open there, which the notice must not overwrite.
volatile std::sig_atomic_t g_errorIsTerminal = 0;

void writeAll(const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(2, text, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

extern "C" void onHeldSignal(int signal) {
  const int savedErrno = errno;
  if (g_writing == 0 && g_deferStops != 0 && g_stopRequested == 0) {
    g_stopRequested = 1;
    writeAll("\n", 1);
    writeAll(kStopNotice.data(), kStopNotice.size());
    writeAll("\n", 1);
    errno = savedErrno;
    return;
  }
  if (g_writing == 0) {
    // Outside the write phase: end as the signal would have ended us.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signal, &byDefault, nullptr);
    ::raise(signal);
    errno = savedErrno;
    return;
  }
  if (g_deferStops != 0) g_stopRequested = 1;
  if (g_told == 0) {
    g_told = 1;
    if (g_errorIsTerminal != 0) writeAll("\n", 1);
    writeAll(kWritePhaseNotice.data(), kWritePhaseNotice.size());
    writeAll("\n", 1);
  }
  errno = savedErrno;
}

}  // namespace

LinuxWriteGuard::LinuxWriteGuard(std::string busAddress) : sleepHold_(std::move(busAddress)) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);

  struct sigaction held {};
  held.sa_handler = onHeldSignal;
  sigemptyset(&held.sa_mask);
  for (const int signal : kHeldSignals) sigaddset(&held.sa_mask, signal);
  // Interrupted system calls (a request to the camera, a sleep) go on.
  held.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kHeldSignals.size(); ++i) {
    // A signal ignored when the program started (nohup, a background job of
    // a shell without job control) stays ignored.
    struct sigaction current {};
    ::sigaction(kHeldSignals[i], nullptr, &current);
    previous_[i] = current;
    if (current.sa_handler == SIG_IGN) continue;
    ::sigaction(kHeldSignals[i], &held, nullptr);
  }
}

LinuxWriteGuard::~LinuxWriteGuard() {
  g_writing = 0;
  for (std::size_t i = 0; i < kHeldSignals.size(); ++i)
    ::sigaction(kHeldSignals[i], &previous_[i], nullptr);
}

void LinuxWriteGuard::BeginWrite() {
  // Asked before the phase begins: until its first request a signal may
  // still end the run while the bus answers.
  const std::string why = sleepHold_.Take();
  sleepNote_ = why.empty() ? std::string() : SleepNotHeldLine(why);
  g_errorIsTerminal = ::isatty(2) == 1 ? 1 : 0;
  g_told = 0;
  g_writing = 1;
}

void LinuxWriteGuard::EndWrite() {
  g_writing = 0;
  sleepHold_.Release();
}

void LinuxWriteGuard::DeferStops(bool defer) {
  g_stopRequested = 0;
  g_deferStops = defer ? 1 : 0;
}

bool LinuxWriteGuard::StopRequested() const { return g_stopRequested != 0; }

}  // namespace qv::linux_host
