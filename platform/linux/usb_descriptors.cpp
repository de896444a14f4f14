#include "platform/linux/usb_descriptors.h"

namespace qv::linux_host {
namespace {

// Standard descriptor types (USB 2.0, table 9-5) and the class-specific ones
// of the USB Video Class (UVC 1.5, tables ).
constexpr std::uint8_t kTypeConfiguration = 0x02;
constexpr std::uint8_t kTypeInterface = 0x04;
constexpr std::uint8_t kTypeCsInterface = 0x24;
constexpr std::uint8_t kVcExtensionUnit = 0x06;
constexpr std::uint8_t kClassVideo = 0x0E;
constexpr std::uint8_t kSubclassVideoControl = 0x01;

// Field offsets of the standard interface descriptor.
constexpr std::size_t kInterfaceDescriptorLength = 9;
// bConfigurationValue in the configuration descriptor.
constexpr std::size_t kConfigurationValueOffset = 5;
constexpr std::size_t kInterfaceNumberOffset = 2;
constexpr std::size_t kAlternateSettingOffset = 3;
constexpr std::size_t kInterfaceClassOffset = 5;
constexpr std::size_t kInterfaceSubclassOffset = 6;

// Field offsets of the extension unit descriptor (UVC 1.5, table 3-13):
// bUnitID at 3, guidExtensionCode at 4, bNumControls at 20, bNrInPins (p) at
// 21, baSourceID at 22, then bControlSize (n) at 22 + p, bmControls at
// 23 + p and iExtension at 23 + p + n: 24 + p + n bytes in all.
constexpr std::size_t kUnitIdOffset = 3;
constexpr std::size_t kGuidOffset = 4;
constexpr std::size_t kNumControlsOffset = 20;
constexpr std::size_t kNrInPinsOffset = 21;
constexpr std::size_t kSourceIdOffset = 22;
constexpr std::size_t kUnitFixedLength = 24;

// The unit in `d` (one whole descriptor), or false when `d` is shorter than
// the fields it declares.
bool parseExtensionUnit(std::span<const std::uint8_t> d, ExtensionUnitDescriptor& unit) {
  if (d.size() < kSourceIdOffset) return false;
  const std::size_t inPins = d[kNrInPinsOffset];
  const std::size_t controlSizeOffset = kSourceIdOffset + inPins;
  if (d.size() <= controlSizeOffset) return false;
  const std::size_t controlSize = d[controlSizeOffset];
  if (d.size() < kUnitFixedLength + inPins + controlSize) return false;
  unit.unitId = d[kUnitIdOffset];
  unit.guidExtensionCode = guidFromUsbBytes(d.subspan(kGuidOffset).first<16>());
  unit.numControls = d[kNumControlsOffset];
  unit.controlSize = static_cast<std::uint8_t>(controlSize);
  const auto controls = d.subspan(controlSizeOffset + 1, controlSize);
  unit.bmControls.assign(controls.begin(), controls.end());
  return true;
}

}  // namespace

std::vector<ExtensionUnitDescriptor> findExtensionUnits(std::span<const std::uint8_t> descriptors,
                                                        std::uint8_t interfaceNumber,
                                                        std::uint8_t configuration) {
  std::vector<ExtensionUnitDescriptor> units;
  bool inConfiguration = false;  // inside the wanted configuration
  bool inInterface = false;      // inside the wanted VideoControl interface
  std::size_t offset = 0;
  while (descriptors.size() - offset >= 2) {
    const std::size_t length = descriptors[offset];
    // wTotalLength is not trusted: the walk follows bLength alone. A length
    // below 2 (no room for its own type) cannot be stepped over either.
    if (length < 2 || length > descriptors.size() - offset) break;
    const auto d = descriptors.subspan(offset, length);
    offset += length;
    const std::uint8_t type = d[1];
    if (type == kTypeConfiguration) {
      // The file holds every configuration; the function's interface numbers
      // mean something only within the active one.
      if (inConfiguration) break;
      inConfiguration = d.size() > kConfigurationValueOffset &&
                        d[kConfigurationValueOffset] == configuration && configuration != 0;
      inInterface = false;
    } else if (!inConfiguration) {
      continue;
    } else if (type == kTypeInterface) {
      inInterface = d.size() >= kInterfaceDescriptorLength &&
                    d[kInterfaceNumberOffset] == interfaceNumber &&
                    d[kAlternateSettingOffset] == 0 && d[kInterfaceClassOffset] == kClassVideo &&
                    d[kInterfaceSubclassOffset] == kSubclassVideoControl;
    } else if (inInterface && type == kTypeCsInterface && d.size() >= 3 &&
               d[2] == kVcExtensionUnit) {
      ExtensionUnitDescriptor unit;
      if (parseExtensionUnit(d, unit)) units.push_back(std::move(unit));
    }
  }
  return units;
}

}  // namespace qv::linux_host
