#pragma once
// A portable GUID and the GUIDs the logic names.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv {

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
  friend constexpr bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

// A GUID as USB descriptors store it (guidExtensionCode): the first three
// fields little-endian, then the eight bytes as they are.
inline Guid guidFromUsbBytes(std::span<const std::uint8_t, 16> b) {
  Guid guid{};
  guid.data1 = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
               static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  guid.data2 = static_cast<std::uint16_t>(b[4] | b[5] << 8);
  guid.data3 = static_cast<std::uint16_t>(b[6] | b[7] << 8);
  for (std::size_t i = 0; i < 8; ++i) guid.data4[i] = b[8 + i];
  return guid;
}

// Property sets the camera's extension unit answers to, tried in this order.
inline constexpr Guid XU_GUID_PRIMARY = {
    0x63610682, 0x5070, 0x49AB, {0xB8, 0xCC, 0xB3, 0x85, 0x5E, 0x8D, 0x22, 0x1D}};
inline constexpr Guid XU_GUID_SECONDARY = {
    0x7D5A1D99, 0x5B32, 0x428B, {0x8C, 0xAD, 0x67, 0x1B, 0x8A, 0x65, 0xF3, 0x7A}};

// KSNODETYPE_DEV_SPECIFIC: the topology node type of an extension unit.
inline constexpr Guid kKsNodeTypeDevSpecific = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

// IID of the camera driver's private interface IVendorXuAccess.
inline constexpr Guid kIidVendorXuAccess = {
    0x755742BA, 0xC3AD, 0x450A, {0xBF, 0x7B, 0x8E, 0x4F, 0x9D, 0x20, 0xA8, 0x30}};

// GUID_DEVCLASS_IMAGE: the Image device setup class.
inline constexpr Guid kGuidDevClassImage = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

// KSPROPSETID_Pin: the pin property set of a Kernel Streaming filter. The
// logic asks it whether another program streams from the camera.
inline constexpr Guid kKsPropSetIdPin = {
    0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};

// PINNAME_VIDEO_CAPTURE: the category of a camera's capture pin.
inline constexpr Guid kPinNameVideoCapture = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

}  // namespace qv
