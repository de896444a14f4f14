#pragma once
// The extension units of a USB Video Class function, read from the raw
// descriptors of its USB device (the sysfs "descriptors" file: the device
// descriptor followed by the configuration descriptors as the device sent
// them). Pure functions over bytes: no I/O.

#include <cstdint>
#include <span>
#include <vector>

#include "base/guid.h"

namespace qv::linux_host {

// One extension unit descriptor (VC_EXTENSION_UNIT) as the device declares it.
struct ExtensionUnitDescriptor {
  std::uint8_t unitId = 0;  // bUnitID: the unit the driver addresses
  Guid guidExtensionCode{};
  std::uint8_t numControls = 0;  // bNumControls
  std::uint8_t controlSize = 0;  // bControlSize
  // bmControls: bit n - 1 set when selector n is implemented.
  std::vector<std::uint8_t> bmControls;
  friend bool operator==(const ExtensionUnitDescriptor&, const ExtensionUnitDescriptor&) = default;
};

// A GUID as the USB Video Class descriptors carry it (base/guid.h).
using qv::guidFromUsbBytes;

// The extension units declared in the VideoControl interface numbered
// `interfaceNumber` (alternate setting 0) of the configuration whose
// bConfigurationValue is `configuration` (the device's active one: the file
// holds every configuration, in the order the device numbered them, which
// need not be their values' order), in descriptor order. The walk steps
// descriptor by descriptor by bLength and never reads past the end of
// `descriptors`; a bLength below 2 (zero included) or one that runs past the
// end ends the walk, and a unit descriptor too short for the fields it
// declares is passed over.
std::vector<ExtensionUnitDescriptor> findExtensionUnits(std::span<const std::uint8_t> descriptors,
                                                        std::uint8_t interfaceNumber,
                                                        std::uint8_t configuration);

}  // namespace qv::linux_host
