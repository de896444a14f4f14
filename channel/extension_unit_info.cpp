#include "channel/extension_unit_info.h"

#include "base/extension_unit_descriptor.h"

namespace qv {

bool parseExtensionUnitInfo(std::span<const std::uint8_t> answer, const Guid& unitSet,
                            std::uint32_t& declared) {
  ExtensionUnitFields unit;
  if (!readExtensionUnit(answer, unit)) return false;
  if (answer[1] != kUvcCsInterface || answer[2] != kUvcVcExtensionUnit) return false;
  if (!(unit.guidExtensionCode == unitSet)) return false;
  // bmControls within the answer (iExtension may be left off), the whole
  // layout within bLength.
  if (answer[0] < unit.iExtensionAt + 1) return false;
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < unit.bmControls.size() && i < 4; ++i) {
    bits |= std::uint32_t{unit.bmControls[i]} << (8 * i);
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
