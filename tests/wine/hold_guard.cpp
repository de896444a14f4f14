// Holds the tool's single-instance guard, the way a running copy does, so a
// script can start the tool as a second instance. Usage:
//   hold_guard <ready-file> <stop-file> <seconds> [global|session]
// Creates the guard (with "global" only its Global\ name, as a copy in
// another session is seen; with "session" only the name without a prefix,
// as an older copy holds it), then creates <ready-file>, then waits until
// <stop-file> exists or <seconds> have passed (a bound, so a failed script
// never leaves it behind).
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/win32/win32_services.h"

namespace {

std::wstring widen(const char* text) {
  std::wstring wide;
  for (; *text; ++text) wide.push_back(static_cast<unsigned char>(*text));
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  const std::wstring name = L"{A918A806-54BF-4d76-9A9B-04D337529252}";
  qv::win32::Win32InstanceGuard guard;
  qv::win32::UniqueHandle single;
  const std::string mode = argc == 5 ? argv[4] : "";
  if (mode.empty()) {
    if (guard.Create(name) != qv::IInstanceGuard::Result::Created) return 3;
  } else {
    single.reset(
        ::CreateMutexW(nullptr, FALSE, (mode == "global" ? L"Global\\" + name : name).c_str()));
    if (!single || ::GetLastError() == ERROR_ALREADY_EXISTS) return 3;
  }
  HANDLE ready = ::CreateFileW(widen(argv[1]).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 4;
  ::CloseHandle(ready);
  const std::wstring stop = widen(argv[2]);
  const long limitMs = std::atol(argv[3]) * 1000L;
  for (long waited = 0; waited < limitMs; waited += 50) {
    if (::GetFileAttributesW(stop.c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
    ::Sleep(50);
  }
  return 0;
}
