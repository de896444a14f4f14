// The walk over a USB device's raw descriptors (the sysfs "descriptors"
// file, which a device fills as it likes) that finds the extension units of
// its VideoControl interface in the active configuration (value 1, the
// usual one). The first input byte is the interface number;
// the rest, copied to an allocation of exactly its size, are the
// descriptors.
#include <cstdint>
#include <memory>

#include "platform/linux/usb_descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t interfaceNumber = data[0];
  const std::size_t length = size - 1;
  const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[length == 0 ? 1 : length]);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = data[1 + i];
  const auto units = qv::linux_host::findExtensionUnits({bytes.get(), length}, interfaceNumber, 1);
  for (const auto& unit : units) {
    // Every unit carries the control bitmap its descriptor declares, and a
    // unit descriptor takes at least 24 bytes.
    if (unit.bmControls.size() != unit.controlSize) __builtin_trap();
  }
  if (units.size() > length / 24) __builtin_trap();
  return 0;
}
