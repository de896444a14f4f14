#pragma once
// The extension unit's descriptor as the camera's driver hands it out
// (KSPROPERTY_EXTENSION_UNIT_INFO): which controls the unit declares, and
// which of them Windows' in-box UVC driver exposes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/guid.h"

namespace qv {

// The answer to kKsPropertyExtensionUnitInfo: the unit's descriptor
// (UVC 1.1, 3.7.2.6): bLength, bDescriptorType, bDescriptorSubtype,
// bUnitID, guidExtensionCode[16], bNumControls, bNrInPins,
// baSourceID[bNrInPins], bControlSize, bmControls[bControlSize],
// iExtension. Its bLength is one byte.
inline constexpr std::uint32_t kExtensionUnitInfoMaxSize = 255;

// usbvideo.sys exposes a unit's controls only when they are numbered without
// a gap from 1, hides every control after the first gap, and takes at most
// this many.
inline constexpr std::uint32_t kDriverControlLimit = 31;

// Reads the controls a unit descriptor declares: bit n - 1 of `declared`
// for control n (controls 1 to 32). The answer must be a whole VideoControl
// extension unit descriptor of the unit with property set `unitSet` (its
// guidExtensionCode), every field within both the answer and the
// descriptor's own bLength; anything else (cut short, another descriptor,
// lengths that run past the end) is refused with `declared` untouched.
bool parseExtensionUnitInfo(std::span<const std::uint8_t> answer, const Guid& unitSet,
                            std::uint32_t& declared);

// Whether a unit declaring `declared` has control `selector`.
constexpr bool declaresControl(std::uint32_t declared, std::uint32_t selector) {
  return selector >= 1 && selector <= 32 && (declared >> (selector - 1) & 1u) != 0;
}

// 0 when the in-box driver exposes `selector` of a unit declaring
// `declared`; otherwise the control that hides it: the lowest undeclared
// control from 1 up to it (the selector itself when it is undeclared), or
// kDriverControlLimit + 1 for a selector beyond the driver's limit.
std::uint32_t controlHiddenBy(std::uint32_t declared, std::uint32_t selector);

}  // namespace qv
