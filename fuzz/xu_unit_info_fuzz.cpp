// The extension unit's descriptor as the camera's driver hands it out (the
// answer to KSPROPERTY_EXTENSION_UNIT_INFO: bytes the device chose). The
// input, copied to an allocation of exactly its size, is read as the
// primary unit's descriptor, and the driver's numbering rule is applied to
// whatever it declares.
#include <cstdint>
#include <memory>

#include "channel/extension_unit_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size == 0 ? 1 : size]);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = data[i];
  constexpr std::uint32_t kUntouched = 0xA5A5A5A5;
  std::uint32_t declared = kUntouched;
  const bool read = qv::parseExtensionUnitInfo({bytes.get(), size}, qv::XU_GUID_PRIMARY, declared);
  // A refused answer leaves the caller's value; an accepted one holds at
  // least the fixed fields and a bLength that covers them.
  if (!read && declared != kUntouched) __builtin_trap();
  if (read && (size < 23 || bytes[0] < 24)) __builtin_trap();
  for (std::uint32_t selector = 1; selector <= 40; ++selector) {
    const std::uint32_t by = qv::controlHiddenBy(declared, selector);
    if (by > qv::kDriverControlLimit + 1 || (by == 0 && !qv::declaresControl(declared, selector)))
      __builtin_trap();
  }
  return 0;
}
