#include "channel/extension_unit_info.h"

namespace qv {

namespace {

// UVC 1.1, tables: CS_INTERFACE, VC_EXTENSION_UNIT.
constexpr std::uint8_t kCsInterface = 0x24;
constexpr std::uint8_t kVcExtensionUnit = 0x06;
// Offsets of the fixed fields; baSourceID starts at 22, and the descriptor
// holds 24 + bNrInPins + bControlSize bytes (iExtension last).
constexpr std::size_t kGuidAt = 4;
constexpr std::size_t kNrInPinsAt = 21;
constexpr std::size_t kSourcesAt = 22;

}  // namespace

bool parseExtensionUnitInfo(std::span<const std::uint8_t> answer, const Guid& unitSet,
                            std::uint32_t& declared) {
  if (answer.size() <= kSourcesAt) return false;
  if (answer[1] != kCsInterface || answer[2] != kVcExtensionUnit) return false;
  if (!(guidFromUsbBytes(answer.subspan(kGuidAt).first<16>()) == unitSet)) return false;
  const std::size_t controlSizeAt = kSourcesAt + answer[kNrInPinsAt];
  if (controlSizeAt >= answer.size()) return false;
  const std::size_t controlSize = answer[controlSizeAt];
  const std::size_t controlsAt = controlSizeAt + 1;
  // bmControls within the answer (iExtension may be left off), the whole
  // layout within bLength.
  if (controlsAt + controlSize > answer.size()) return false;
  if (answer[0] < controlsAt + controlSize + 1) return false;
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < controlSize && i < 4; ++i) {
    bits |= std::uint32_t{answer[controlsAt + i]} << (8 * i);
  }
  declared = bits;
  return true;
}

std::uint32_t controlHiddenBy(std::uint32_t declared, std::uint32_t selector) {
  if (selector == 0 || selector > kDriverControlLimit) return kDriverControlLimit + 1;
  for (std::uint32_t control = 1; control <= selector; ++control) {
    if (!declaresControl(declared, control)) return control;
  }
  return 0;
}

}  // namespace qv
