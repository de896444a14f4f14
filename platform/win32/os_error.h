#pragma once
// Every translation of an OS result into what the logic sees happens here,
// so each one can be checked on its own (tests/wine).

#include <cstdint>

#include "base/hresult.h"
#include "platform/failure_notes.h"
#include "platform/os_services.h"

namespace qv::win32 {

// A COM result as the portable HResult: the same 32 bits.
HResult fromComResult(long comResult);

// HRESULT_FROM_WIN32 of a GetLastError value.
HResult fromWin32Error(std::uint32_t error);

// CreateMutexW: whether a handle came back, and GetLastError right after.
// ERROR_ALREADY_EXISTS with a handle, or ERROR_ACCESS_DENIED without one (the
// object exists but belongs to a process of another account), both mean that
// another instance holds the guard.
IInstanceGuard::Result guardResultFrom(bool gotHandle, std::uint32_t lastError);
// The guard of both names: another copy holding either (or a name the
// system denies, as another session's copy's) counts as running; created
// when at least one name could be made.
IInstanceGuard::Result combineGuardResults(IInstanceGuard::Result global,
                                           IInstanceGuard::Result session);

// A configuration-manager result (CONFIGRET): CR_SUCCESS only.
bool configRetSucceeded(std::uint32_t configRet);

// The result of reading the "DevicePath" variant: the read's own failure, a
// value that is not text (DISP_E_TYPEMISMATCH), or success.
HResult devicePathReadResult(long readResult, bool isText);

// The result of connecting the camera's capture pin for the hold on the
// write: a refusal because another program streams from the camera becomes
// HRESULT_FROM_WIN32(ERROR_BUSY), the logic's "in use"; every other result
// comes back as it is (a failure there: the camera could not be held, and
// nothing is known of its use).
HResult streamHoldResult(long connectResult);

// Why a file of the tool could not be written, from GetLastError of the
// failed call, whether a folder sits at the file's path, and whether the
// full path is longer than MAX_PATH allows.
FailureKind fileNotWrittenKind(std::uint32_t error, bool folderAtPath, bool overPathLimit);

}  // namespace qv::win32
