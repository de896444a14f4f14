#pragma once
// The USB descriptors of the simulated camera: a USB Video Class 1.0
// function with a VideoControl interface (camera input terminal, the vendor
// extension unit, output terminal) and a VideoStreaming interface (one
// uncompressed format and frame on a bulk IN endpoint).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/scene.h"

namespace qv::sim::usbip {

// Interfaces and entities of the video function. The unit sits between the
// input and output terminals so that the host driver puts it in the video
// chain (it only routes queries to units of a chain).
inline constexpr std::uint8_t kVcInterface = 0;
inline constexpr std::uint8_t kVsInterface = 1;
inline constexpr std::uint8_t kInputTerminalId = 1;
inline constexpr std::uint8_t kExtensionUnitId = 2;
inline constexpr std::uint8_t kOutputTerminalId = 3;
inline constexpr std::uint8_t kBulkInEndpoint = 0x81;
inline constexpr std::uint16_t kBulkPacketSize = 512;  // high-speed bulk
inline constexpr std::uint8_t kEp0PacketSize = 64;

// A camera with a second (infrared) capture function (the scene's
// `infrared_path`) carries a second VideoControl + VideoStreaming pair:
// function f has interfaces 2f and 2f + 1 and bulk IN endpoint 0x81 + f.
inline std::uint8_t functionCount(const CameraConfig& config) {
  return config.infraredPath ? 2 : 1;
}
constexpr std::uint8_t vcInterfaceOf(std::uint8_t function) {
  return static_cast<std::uint8_t>(2 * function);
}
constexpr std::uint8_t bulkEndpointOf(std::uint8_t function) {
  return static_cast<std::uint8_t>(kBulkInEndpoint + function);
}

// The selectors the unit declares in bmControls (selector n is bit n - 1):
// every control the chip answers on some family. A family lacking one
// refuses it when asked, as the chip does.
inline constexpr std::array<std::uint8_t, 15> kXuSelectors = {2,  3,  7,  8,  9,  10, 11, 12,
                                                              13, 14, 15, 16, 20, 22, 23};
inline constexpr std::size_t kXuControlBytes = 3;

constexpr bool xuDeclares(std::uint32_t selector) {
  for (std::uint8_t s : kXuSelectors) {
    if (s == selector) return true;
  }
  return false;
}

// The highest selector the chip answers on some family.
inline constexpr std::uint8_t kXuLastSelector = 23;

// Whether the camera's unit declares `selector` in bmControls. Windows'
// in-box UVC driver exposes a unit's controls only when they are numbered
// without gaps from 1, so by default every selector from 1 to the last is
// declared (the chip refuses those it lacks when asked); the scene's
// "usb": {"controls": "answered"} declares only the selectors the chip
// answers, leaving gaps uvcvideo accepts. A scene's "undeclared_controls" are
// left out either way.
constexpr bool xuDeclaresFor(const CameraConfig& config, std::uint32_t selector) {
  if (selector < 32 && (config.undeclaredControls >> selector & 1u) != 0) return false;
  if (config.usbContiguousControls) return selector >= 1 && selector <= kXuLastSelector;
  return xuDeclares(selector);
}

// The one video format: YUY2 160 x 120 at 30 frames per second.
inline constexpr std::uint16_t kFrameWidth = 160;
inline constexpr std::uint16_t kFrameHeight = 120;
inline constexpr std::uint32_t kFrameBytes = std::uint32_t{kFrameWidth} * kFrameHeight * 2;
inline constexpr std::uint32_t kFrameInterval = 333333;  // 100 ns units
inline constexpr std::uint32_t kClockFrequency = 48'000'000;

// String descriptor indices.
inline constexpr std::uint8_t kStringManufacturer = 1;
inline constexpr std::uint8_t kStringProduct = 2;
inline constexpr std::uint8_t kStringSerial = 3;

// bConfigurationValue of the vendor-specific configuration a camera may
// declare first; the video function's is the next one.
inline constexpr std::uint8_t kVendorConfigurationValue = 1;

struct Descriptors {
  std::vector<std::uint8_t> device;         // 18 bytes
  std::vector<std::uint8_t> qualifier;      // 10 bytes
  std::vector<std::uint8_t> configuration;  // the video function's whole configuration
  std::uint8_t configurationValue = 1;      // its bConfigurationValue
  // A configuration before it (one vendor-specific interface, no
  // endpoints), or empty. The host's choice skips it: it prefers the first
  // configuration whose first interface is not vendor-specific.
  std::vector<std::uint8_t> vendorConfiguration;
  // String descriptors by index; 0 is the language list.
  std::vector<std::vector<std::uint8_t>> strings;
};

// The descriptors of camera `index` of a scene.
Descriptors buildDescriptors(const CameraConfig& config, std::size_t index);

// The unit's GUID in descriptor byte order (first three fields
// little-endian, as UVC descriptors store GUIDs).
std::array<std::uint8_t, 16> xuGuidBytes(bool secondary);

}  // namespace qv::sim::usbip
