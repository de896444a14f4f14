#pragma once
// Portable HRESULT-style results and Win32 error codes: vocabulary shared by
// every layer, the logic, the platform backends and the camera model alike.
// The Windows headers define the well-known names (S_OK, E_POINTER, ...) as
// macros, so the portable values carry their own names; each comment gives
// the Windows name it mirrors.

#include <cstdint>

namespace qv {

using HResult = std::int32_t;

constexpr bool failed(HResult hr) { return hr < 0; }
constexpr bool succeeded(HResult hr) { return hr >= 0; }

// Win32 error codes (GetLastError values).
namespace win32err {
inline constexpr std::uint32_t Success = 0;                // ERROR_SUCCESS
inline constexpr std::uint32_t GenFailure = 31;            // ERROR_GEN_FAILURE
inline constexpr std::uint32_t SemTimeout = 121;           // ERROR_SEM_TIMEOUT
inline constexpr std::uint32_t InsufficientBuffer = 122;   // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t Busy = 170;                 // ERROR_BUSY
inline constexpr std::uint32_t AlreadyExists = 183;        // ERROR_ALREADY_EXISTS
inline constexpr std::uint32_t MoreData = 234;             // ERROR_MORE_DATA
inline constexpr std::uint32_t NoMoreItems = 259;          // ERROR_NO_MORE_ITEMS
inline constexpr std::uint32_t DeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
inline constexpr std::uint32_t NotFound = 1168;            // ERROR_NOT_FOUND
inline constexpr std::uint32_t SetNotFound = 1170;         // ERROR_SET_NOT_FOUND
inline constexpr std::uint32_t Timeout = 1460;             // ERROR_TIMEOUT
}  // namespace win32err

namespace hr {
// HRESULT_FROM_WIN32: facility 7, severity bit set; 0 stays 0.
constexpr HResult fromWin32(std::uint32_t error) {
  return error == 0 ? 0 : static_cast<HResult>((error & 0xFFFFu) | 0x80070000u);
}
inline constexpr HResult Ok = 0;                                           // S_OK
inline constexpr HResult False = 1;                                        // S_FALSE
inline constexpr HResult NoInterface = static_cast<HResult>(0x80004002u);  // E_NOINTERFACE
inline constexpr HResult Pointer = static_cast<HResult>(0x80004003u);      // E_POINTER
inline constexpr HResult NotImpl = static_cast<HResult>(0x80004001u);      // E_NOTIMPL
inline constexpr HResult Fail = static_cast<HResult>(0x80004005u);         // E_FAIL
inline constexpr HResult Unexpected = static_cast<HResult>(0x8000FFFFu);   // E_UNEXPECTED
inline constexpr HResult GenFailure = fromWin32(win32err::GenFailure);     // 0x8007001F
inline constexpr HResult MoreData = fromWin32(win32err::MoreData);         // 0x800700EA
inline constexpr HResult Busy = fromWin32(win32err::Busy);                 // 0x800700AA
inline constexpr HResult DeviceNotConnected =
    fromWin32(win32err::DeviceNotConnected);                              // 0x8007048F
inline constexpr HResult NotFound = fromWin32(win32err::NotFound);        // 0x80070490
inline constexpr HResult SetNotFound = fromWin32(win32err::SetNotFound);  // 0x80070492
inline constexpr HResult SemTimeout = fromWin32(win32err::SemTimeout);    // 0x80070079
inline constexpr HResult Timeout = fromWin32(win32err::Timeout);          // 0x800705B4
}  // namespace hr

static_assert(hr::MoreData == static_cast<HResult>(0x800700EAu));
static_assert(hr::SetNotFound == static_cast<HResult>(0x80070492u));
static_assert(hr::SemTimeout == static_cast<HResult>(0x80070079u));
static_assert(hr::Timeout == static_cast<HResult>(0x800705B4u));
static_assert(hr::NotFound == static_cast<HResult>(0x80070490u));
static_assert(hr::DeviceNotConnected == static_cast<HResult>(0x8007048Fu));
static_assert(hr::GenFailure == static_cast<HResult>(0x8007001Fu));

}  // namespace qv
