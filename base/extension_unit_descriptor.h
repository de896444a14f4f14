#pragma once
// The layout of a USB Video Class extension unit descriptor (UVC 1.5, table
// 3-13; VC_EXTENSION_UNIT), read where the system hands it out: from the
// device's raw descriptors on Linux, as the answer of the unit's property 0
// on Windows. Pure functions over bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/guid.h"

namespace qv {

// bDescriptorType CS_INTERFACE and bDescriptorSubtype VC_EXTENSION_UNIT
// (UVC 1.5, tables ).
inline constexpr std::uint8_t kUvcCsInterface = 0x24;
inline constexpr std::uint8_t kUvcVcExtensionUnit = 0x06;

// The fields up to bmControls: bUnitID at 3, guidExtensionCode at 4,
// bNumControls at 20, bNrInPins (p) at 21, baSourceID at 22, then
// bControlSize (n) at 22 + p, bmControls at 23 + p and iExtension at
// 23 + p + n: 24 + p + n bytes in all.
struct ExtensionUnitFields {
  std::uint8_t unitId = 0;
  Guid guidExtensionCode{};
  std::uint8_t numControls = 0;
  std::span<const std::uint8_t> bmControls;  // within the bytes read
  std::size_t iExtensionAt = 0;              // the offset of iExtension
};

// Reads the fields of the descriptor starting at d[0] (bLength). False when
// `d` ends before bmControls does; iExtension and bLength are the caller's
// to check (Windows' answer may leave iExtension off).
inline bool readExtensionUnit(std::span<const std::uint8_t> d, ExtensionUnitFields& unit) {
  constexpr std::size_t kUnitIdAt = 3;
  constexpr std::size_t kGuidAt = 4;
  constexpr std::size_t kNumControlsAt = 20;
  constexpr std::size_t kNrInPinsAt = 21;
  constexpr std::size_t kSourcesAt = 22;
  if (d.size() <= kSourcesAt) return false;
  const std::size_t controlSizeAt = kSourcesAt + d[kNrInPinsAt];
  if (controlSizeAt >= d.size()) return false;
  const std::size_t controlSize = d[controlSizeAt];
  if (controlSizeAt + 1 + controlSize > d.size()) return false;
  unit.unitId = d[kUnitIdAt];
  unit.guidExtensionCode = guidFromUsbBytes(d.subspan(kGuidAt).first<16>());
  unit.numControls = d[kNumControlsAt];
  unit.bmControls = d.subspan(controlSizeAt + 1, controlSize);
  unit.iExtensionAt = controlSizeAt + 1 + controlSize;
  return true;
}

}  // namespace qv
