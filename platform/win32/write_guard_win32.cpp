#include "platform/win32/write_guard_win32.h"

#include <windows.h>

#include <atomic>

namespace qv::win32 {
namespace {

// The handler runs on a thread of its own that the system starts.
std::atomic<bool> g_writing{false};
std::atomic<bool> g_told{false};
std::atomic<bool> g_deferStops{false};
std::atomic<bool> g_stopRequested{false};

void tell(std::string_view notice) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  // A console shows the notice on a line of its own (a progress bar line
  // may be open); a file or pipe gets just the line.
  DWORD mode = 0;
  const bool console = ::GetFileType(error) == FILE_TYPE_CHAR && ::GetConsoleMode(error, &mode);
  DWORD written = 0;
  if (console) ::WriteFile(error, "\n", 1, &written, nullptr);
  ::WriteFile(error, notice.data(), static_cast<DWORD>(notice.size()), &written, nullptr);
  ::WriteFile(error, "\n", 1, &written, nullptr);
}

void tellOnce() {
  if (!g_told.exchange(true)) tell(kWritePhaseNotice);
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  const bool keyboard = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  if (!g_writing.load()) {
    // Outside the write phase a first Ctrl-C or Ctrl-Break of a run that
    // defers stops only asks it to stop; anything else ends the process
    // through the default handler (closing the window cannot be refused).
    if (keyboard && g_deferStops.load() && !g_stopRequested.exchange(true)) {
      tell(kStopNotice);
      return TRUE;
    }
    if (g_deferStops.load()) g_stopRequested.store(true);
    return FALSE;
  }
  if (g_deferStops.load()) g_stopRequested.store(true);
  tellOnce();
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Close, logoff, shutdown: the process ends when this returns (or when
  // the system's few seconds are up); hold on while the camera is written.
  while (g_writing.load()) ::Sleep(20);
  return TRUE;
}

}  // namespace

Win32WriteGuard::Win32WriteGuard() { ::SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

Win32WriteGuard::~Win32WriteGuard() {
  if (g_writing.exchange(false)) ::SetThreadExecutionState(ES_CONTINUOUS);
  ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

void Win32WriteGuard::BeginWrite() {
  // The state belongs to this thread, the one that writes, and lasts until
  // EndWrite clears it (or the thread ends). It holds off idle sleep only:
  // a closed lid or the power button still suspend, as the user set them.
  sleepNote_ = ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0
                   ? SleepNotHeldLine("SetThreadExecutionState failed")
                   : std::string();
  g_told.store(false);
  g_writing.store(true);
}

void Win32WriteGuard::EndWrite() {
  g_writing.store(false);
  ::SetThreadExecutionState(ES_CONTINUOUS);
}

void Win32WriteGuard::DeferStops(bool defer) {
  g_stopRequested.store(false);
  g_deferStops.store(defer);
}

bool Win32WriteGuard::StopRequested() const { return g_stopRequested.load(); }

}  // namespace qv::win32
