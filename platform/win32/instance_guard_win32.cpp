// The single-instance guard: a named mutex, created without ownership and
// held open until the process ends.
#include <windows.h>

#include <string>

#include "platform/win32/os_error.h"
#include "platform/win32/win32_services.h"

namespace qv::win32 {

IInstanceGuard::Result Win32InstanceGuard::Create(std::wstring_view name) {
  const std::wstring terminated(name);
  HANDLE h = ::CreateMutexW(nullptr, FALSE, terminated.c_str());
  const DWORD lastError = ::GetLastError();  // read before anything else can change it
  mutex_.reset(h);
  return guardResultFrom(h != nullptr, lastError);
}

}  // namespace qv::win32
