// Translations of OS results for the logic.
#include "platform/win32/os_error.h"

#include <windows.h>
// After windows.h.
#include <cfgmgr32.h>
#include <winerror.h>

namespace qv::win32 {

static_assert(sizeof(long) == sizeof(HResult));
static_assert(ERROR_ALREADY_EXISTS == win32err::AlreadyExists);
static_assert(ERROR_INSUFFICIENT_BUFFER == win32err::InsufficientBuffer);
static_assert(ERROR_NO_MORE_ITEMS == win32err::NoMoreItems);
static_assert(ERROR_MORE_DATA == win32err::MoreData);
static_assert(ERROR_SET_NOT_FOUND == win32err::SetNotFound);
static_assert(ERROR_NOT_FOUND == win32err::NotFound);
static_assert(ERROR_DEVICE_NOT_CONNECTED == win32err::DeviceNotConnected);
static_assert(ERROR_GEN_FAILURE == win32err::GenFailure);
static_assert(static_cast<HResult>(S_OK) == hr::Ok && static_cast<HResult>(S_FALSE) == hr::False);
static_assert(static_cast<HResult>(E_POINTER) == hr::Pointer);
static_assert(static_cast<HResult>(E_NOINTERFACE) == hr::NoInterface);
static_assert(static_cast<HResult>(E_FAIL) == hr::Fail);
static_assert(static_cast<HResult>(E_UNEXPECTED) == hr::Unexpected);

HResult fromComResult(long comResult) { return static_cast<HResult>(comResult); }

HResult fromWin32Error(std::uint32_t error) {
  return static_cast<HResult>(HRESULT_FROM_WIN32(static_cast<unsigned long>(error)));
}

IInstanceGuard::Result guardResultFrom(bool gotHandle, std::uint32_t lastError) {
  if (gotHandle) {
    return lastError == ERROR_ALREADY_EXISTS ? IInstanceGuard::Result::AlreadyExists
                                             : IInstanceGuard::Result::Created;
  }
  return lastError == ERROR_ACCESS_DENIED ? IInstanceGuard::Result::AlreadyExists
                                          : IInstanceGuard::Result::Error;
}

IInstanceGuard::Result combineGuardResults(IInstanceGuard::Result global,
                                           IInstanceGuard::Result session) {
  using Result = IInstanceGuard::Result;
  if (global == Result::AlreadyExists || session == Result::AlreadyExists) {
    return Result::AlreadyExists;
  }
  if (global == Result::Created || session == Result::Created) return Result::Created;
  return Result::Error;
}

bool configRetSucceeded(std::uint32_t configRet) { return configRet == CR_SUCCESS; }

HResult devicePathReadResult(long readResult, bool isText) {
  if (FAILED(readResult)) return fromComResult(readResult);
  return isText ? fromComResult(readResult) : fromComResult(DISP_E_TYPEMISMATCH);
}

HResult streamHoldResult(long connectResult) {
  const HResult result = fromComResult(connectResult);
  // The capture pin's kernel instance is refused while another one exists
  // (the camera driver offers one): the driver's "the requested resource is
  // in use" (ERROR_BUSY); ERROR_DEVICE_IN_USE from a driver that says it
  // so; ERROR_SHARING_VIOLATION when the Camera Frame Server holds the
  // camera for another application in non-shared mode. E_ACCESSDENIED is
  // the privacy setting, not a program: like a sink or media type the pin
  // does not take, the camera is then simply not held.
  if (result == hr::fromWin32(ERROR_BUSY) || result == hr::fromWin32(ERROR_DEVICE_IN_USE) ||
      result == hr::fromWin32(ERROR_SHARING_VIOLATION)) {
    return hr::Busy;
  }
  return result;
}

FailureKind fileNotWrittenKind(std::uint32_t error, bool folderAtPath, bool overPathLimit) {
  // Replacing a folder by a file is refused as ERROR_ACCESS_DENIED: the
  // folder is what is in the way, not a permission.
  if (folderAtPath) return FailureKind::FolderInTheWay;
  switch (error) {
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
      // A path over MAX_PATH that the system does not take in its long form
      // (a relative one) is reported as a folder not found or a bad name.
      if (overPathLimit) return FailureKind::PathTooLong;
      return error == ERROR_INVALID_NAME ? FailureKind::FileNotWritten : FailureKind::FolderMissing;
    case ERROR_FILENAME_EXCED_RANGE:
      return FailureKind::PathTooLong;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FailureKind::DiskFull;
    default:  // ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT and what is not told apart
      return FailureKind::FileNotWritten;
  }
}

}  // namespace qv::win32
