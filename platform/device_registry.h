#pragma once
// What the USB identity lookup needs of the platform's device registry: the
// present devices of the Image and Camera setup classes (SetupAPI and the
// configuration manager on Windows).

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/hresult.h"

namespace qv {

// A device node handle (DEVINST).
using DevInst = std::uint32_t;

enum class DeviceRegistryProperty {
  Address,     // SPDRP_ADDRESS: a 32-bit value, least significant byte first
  HardwareId,  // SPDRP_HARDWAREID: a list of NUL-terminated narrow strings
};

// The list of present Image-class devices (an HDEVINFO); destroying it is
// SetupDiDestroyDeviceInfoList.
class IImageDeviceList {
 public:
  virtual ~IImageDeviceList() = default;
  // SetupDiEnumDeviceInfo: true with the device's node; false at the end or
  // on error, with the last error (0 or ERROR_NO_MORE_ITEMS at the end).
  virtual bool EnumDeviceInfo(std::uint32_t index, DevInst& node, std::uint32_t& lastError) = 0;
  // CM_Get_Device_IDA (flags 0): true on success; the text is NUL-terminated
  // within `size` bytes.
  virtual bool GetDeviceId(DevInst node, char* buffer, std::uint32_t size) = 0;
  // SetupDiGetDeviceRegistryPropertyA: true on success. On failure the last
  // error is set and, with ERROR_INSUFFICIENT_BUFFER, the size required.
  // `buffer` may be null with `size` 0.
  virtual bool GetRegistryProperty(DevInst node, DeviceRegistryProperty property,
                                   std::uint8_t* buffer, std::uint32_t size,
                                   std::uint32_t& requiredSize, std::uint32_t& lastError) = 0;
  // CM_Get_Parent (flags 0): true on success.
  virtual bool GetParent(DevInst node, DevInst& parent) = 0;
};

// How SetupDiGetDeviceRegistryProperty hands a property over: the size
// required always; the bytes only when the caller's buffer holds them all,
// otherwise ERROR_INSUFFICIENT_BUFFER. For backends that keep the value
// themselves.
inline bool copyRegistryProperty(std::string_view value, std::uint8_t* buffer, std::uint32_t size,
                                 std::uint32_t& requiredSize, std::uint32_t& lastError) {
  requiredSize = static_cast<std::uint32_t>(value.size());
  if (buffer == nullptr || size < value.size()) {
    lastError = win32err::InsufficientBuffer;
    return false;
  }
  std::memcpy(buffer, value.data(), value.size());
  return true;
}

class IDeviceRegistry {
 public:
  virtual ~IDeviceRegistry() = default;
  // SetupDiGetClassDevsA(GUID_DEVCLASS_IMAGE, no enumerator, no window,
  // DIGCF_PRESENT). Null when the list is not available.
  virtual std::unique_ptr<IImageDeviceList> OpenPresentImageDevices() = 0;
  // The same for the Camera setup class ({ca3e7ab9-b4c3-4ae6-8251-579ef933890f}),
  // where Windows' in-box UVC driver installs cameras since Windows 10
  // version 1709 (a vendor INF may still put them in the Image class). Null
  // where the platform has no such class: its registry lists every camera
  // as an Image-class device.
  virtual std::unique_ptr<IImageDeviceList> OpenPresentCameraDevices() { return nullptr; }
};

}  // namespace qv
