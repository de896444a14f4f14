// The single-instance guard: named mutexes, created without ownership and
// held open until the process ends. The name without a prefix lives in the
// session's own namespace, so copies in two sessions (fast user switching,
// remote desktop, a fleet agent in session 0) would not see each other; the
// same name under Global\ is seen by every session (creating a mutex there
// needs no privilege). Both are kept: a copy of an older version holds only
// the session's name.
#include <windows.h>

#include <string>

#include "platform/win32/os_error.h"
#include "platform/win32/win32_services.h"

namespace qv::win32 {

namespace {

IInstanceGuard::Result createMutex(const std::wstring& name, UniqueHandle& out) {
  HANDLE h = ::CreateMutexW(nullptr, FALSE, name.c_str());
  const DWORD lastError = ::GetLastError();  // read before anything else can change it
  out.reset(h);
  return guardResultFrom(h != nullptr, lastError);
}

// Session 0 (services) has no namespace of its own: there the name without
// a prefix already is the global one, and creating it again would find the
// process's own mutex.
bool inSessionZero() {
  DWORD session = 0;
  return ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) && session == 0;
}

}  // namespace

IInstanceGuard::Result Win32InstanceGuard::Create(std::wstring_view name) {
  const std::wstring terminated(name);
  const Result global = createMutex(L"Global\\" + terminated, globalMutex_);
  if (inSessionZero()) return global;
  return combineGuardResults(global, createMutex(terminated, mutex_));
}

}  // namespace qv::win32
