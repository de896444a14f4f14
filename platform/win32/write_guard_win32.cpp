#include "platform/win32/write_guard_win32.h"

#include <windows.h>

#include <atomic>

namespace qv::win32 {
namespace {

// The handler runs on a thread of its own that the system starts.
std::atomic<bool> g_writing{false};
std::atomic<bool> g_told{false};

void tellOnce() {
  if (g_told.exchange(true)) return;
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  // A console shows the notice on a line of its own (a progress bar line
  // may be open); a file or pipe gets just the line.
  DWORD mode = 0;
  const bool console = ::GetFileType(error) == FILE_TYPE_CHAR && ::GetConsoleMode(error, &mode);
  DWORD written = 0;
  if (console) ::WriteFile(error, "\n", 1, &written, nullptr);
  ::WriteFile(error, kWritePhaseNotice.data(), static_cast<DWORD>(kWritePhaseNotice.size()),
              &written, nullptr);
  ::WriteFile(error, "\n", 1, &written, nullptr);
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (!g_writing.load()) return FALSE;  // the default handler ends the process
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
  g_writing.store(false);
  ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

void Win32WriteGuard::BeginWrite() {
  g_told.store(false);
  g_writing.store(true);
}

void Win32WriteGuard::EndWrite() { g_writing.store(false); }

}  // namespace qv::win32
