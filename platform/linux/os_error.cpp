#include "platform/linux/os_error.h"

#include <cerrno>

namespace qv::linux_host {
namespace {

// Win32 error codes the Windows stack reports for these conditions.
constexpr std::uint32_t kErrorInvalidFunction = 1;    // ERROR_INVALID_FUNCTION
constexpr std::uint32_t kErrorAccessDenied = 5;       // ERROR_ACCESS_DENIED
constexpr std::uint32_t kErrorOutOfMemory = 14;       // ERROR_OUTOFMEMORY
constexpr std::uint32_t kErrorNotSupported = 50;      // ERROR_NOT_SUPPORTED
constexpr std::uint32_t kErrorInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr std::uint32_t kErrorSemTimeout = 121;       // ERROR_SEM_TIMEOUT
constexpr std::uint32_t kErrorBusy = 170;             // ERROR_BUSY
constexpr std::uint32_t kErrorIoDevice = 1117;        // ERROR_IO_DEVICE

constexpr ErrnoMapping kMappings[] = {
    // The camera is gone: uvcvideo answers ENODEV once the device has been
    // disconnected, the USB core ESHUTDOWN while it is going, and a device
    // node without its device ENXIO. Windows reports an unplugged camera as
    // ERROR_DEVICE_NOT_CONNECTED, which the logic treats as such.
    {ENODEV, "ENODEV", hr::DeviceNotConnected},
    {ESHUTDOWN, "ESHUTDOWN", hr::DeviceNotConnected},
    {ENXIO, "ENXIO", hr::DeviceNotConnected},
    // uvcvideo: no such unit, or the selector's bit is not in the unit's
    // bmControls. Kernel Streaming answers a property id the extension unit
    // does not implement with STATUS_NOT_FOUND (ERROR_NOT_FOUND).
    {ENOENT, "ENOENT", hr::NotFound},
    // uvcvideo: SET_CUR/GET_CUR size differs from the control's GET_LEN.
    // Kernel Streaming checks the buffer against the control length too and
    // answers STATUS_BUFFER_TOO_SMALL (ERROR_INSUFFICIENT_BUFFER).
    {ENOBUFS, "ENOBUFS", hr::fromWin32(win32err::InsufficientBuffer)},
    // A malformed request, or the device's request error code "invalid
    // value within range" (8) and "out of range" (4; ERANGE):
    // STATUS_INVALID_PARAMETER. Codes 5 to 7 (invalid unit, control,
    // request) give EIO.
    {EINVAL, "EINVAL", hr::fromWin32(kErrorInvalidParameter)},
    {ERANGE, "ERANGE", hr::fromWin32(kErrorInvalidParameter)},
    // The control does not take this request (GET_INFO lacks the GET or SET
    // bit): STATUS_INVALID_DEVICE_REQUEST (ERROR_INVALID_FUNCTION).
    {EBADRQC, "EBADRQC", hr::fromWin32(kErrorInvalidFunction)},
    // The device stalled the control transfer with an unknown request error
    // code, or a USB protocol error (EPROTO, EILSEQ for a CRC error): the
    // Windows USB video class driver reports a stalled control request as
    // ERROR_GEN_FAILURE ("a device attached to the system is not
    // functioning"). EREMOTE is the device's own "power" code (3). On 6.1
    // the "wrong state" code (2) gives EILSEQ too; from 6.3 it gives EACCES
    // (below). A short reply is no errno on 6.1 (the ioctl returns the byte
    // count, which the camera stack fails as a stall); later kernels give
    // EPIPE.
    {EPIPE, "EPIPE", hr::GenFailure},
    {EPROTO, "EPROTO", hr::GenFailure},
    {EILSEQ, "EILSEQ", hr::GenFailure},
    {EREMOTE, "EREMOTE", hr::GenFailure},
    // Any other transfer failure: STATUS_IO_DEVICE_ERROR.
    {EIO, "EIO", hr::fromWin32(kErrorIoDevice)},
    // The device did not answer the control transfer in time (uvcvideo waits
    // 5 s): STATUS_IO_TIMEOUT becomes ERROR_SEM_TIMEOUT.
    {ETIMEDOUT, "ETIMEDOUT", hr::fromWin32(kErrorSemTimeout)},
    // No permission on the node, or the device's "wrong state" code (2) from
    // 6.3 on: E_ACCESSDENIED.
    {EACCES, "EACCES", hr::fromWin32(kErrorAccessDenied)},
    {EPERM, "EPERM", hr::fromWin32(kErrorAccessDenied)},
    // The device's "not ready" code (1), or a stream another handle owns:
    // STATUS_DEVICE_BUSY (ERROR_BUSY).
    {EBUSY, "EBUSY", hr::fromWin32(kErrorBusy)},
    {EAGAIN, "EAGAIN", hr::fromWin32(kErrorBusy)},
    // The driver could not allocate: E_OUTOFMEMORY.
    {ENOMEM, "ENOMEM", hr::fromWin32(kErrorOutOfMemory)},
    // A buffer the driver could not copy: E_POINTER.
    {EFAULT, "EFAULT", hr::Pointer},
    // The node is not a uvcvideo node and knows no such ioctl:
    // ERROR_NOT_SUPPORTED.
    {ENOTTY, "ENOTTY", hr::fromWin32(kErrorNotSupported)},
};

}  // namespace

std::span<const ErrnoMapping> errnoMappings() { return kMappings; }

std::string_view errnoName(int error) {
  for (const ErrnoMapping& row : kMappings) {
    if (row.error == error) return row.name;
  }
  return {};
}

HResult hresultFromErrno(int error) {
  if (error == 0) return hr::Ok;
  for (const ErrnoMapping& row : kMappings) {
    if (row.error == error) return row.result;
  }
  return hr::Fail;
}

FailureKind fileNotWrittenKind(int error, bool folderAtPath) {
  // rename() onto a folder fails with EISDIR, or ENOTEMPTY and EEXIST for
  // some file systems: the folder is what is in the way, whatever the errno.
  if (folderAtPath) return FailureKind::FolderInTheWay;
  switch (error) {
    case ENOENT:   // a folder of the path does not exist
    case ENOTDIR:  // a part of the path is a file, not a folder
      return FailureKind::FolderMissing;
    case ENAMETOOLONG:
      return FailureKind::PathTooLong;
    case ENOSPC:
    case EDQUOT:
      return FailureKind::DiskFull;
    default:  // EACCES, EPERM, EROFS and whatever is not told apart
      return FailureKind::FileNotWritten;
  }
}

}  // namespace qv::linux_host
