#include "flash/update_controls.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace qv {

namespace {

constexpr std::uint8_t kGet = kKsPropertyTypeGet;
constexpr std::uint8_t kSet = kKsPropertyTypeSet;
constexpr std::uint8_t kLength = 0;  // GET-LENGTH only: the driver asks no GET/SET bit

// The controls the update sends requests to, from the first identification
// request to leaving download mode: what the download engine, the flash
// identification, the command-table load and the register and flash-byte
// operations send on each family (the request traces of a family's update
// hold exactly these).
struct UpdateControl {
  std::uint8_t selector;
  std::uint8_t needs;
  ChipFamily first;  // the families that use it, inclusive
  ChipFamily last;
  std::string_view name;
  bool readBack = false;  // sent only by the read-back after the update
  bool download = false;  // sent only by the download engine
};

constexpr std::array kUpdateControls{
    UpdateControl{XU_REG_ADDR, kSet, 102, 108, "register address"},
    UpdateControl{XU_REG_DATA, kGet | kSet, 102, 108, "register data"},
    UpdateControl{XU_FLASH_PARAM_INDEX, kSet, 102, 108, "flash command index"},
    UpdateControl{XU_FLASH_PARAM_VALUE, kSet, 102, 108, "flash command value"},
    UpdateControl{XU_FLASH_MODE, kSet, 102, 108, "flash mode"},
    UpdateControl{XU_FLASH_DATA, kLength, 102, 108, "flash data"},
    UpdateControl{XU_FLASH_ID, kGet, 106, 107, "flash identification"},
    UpdateControl{XU_DFU_PREPARE, kSet, 105, 105, "download preparation", false, true},
    UpdateControl{XU_DFU_ENABLE, kSet, 102, 108, "download mode", false, true},
    UpdateControl{XU_DFU_DATA, kSet, 102, 108, "download data", false, true},
    UpdateControl{XU_DFU_CHECKSUM, kGet, 102, 108, "download checksum", false, true},
    UpdateControl{XU_DFU_COMMIT, kSet, 106, 108, "download commit", false, true},
    // The read-back reads the flash as the dump does (the command table
    // through the controls above, then the address and the data).
    UpdateControl{XU_FLASH_ADDR, kSet, 102, 108, "flash address", true},
    UpdateControl{XU_FLASH_DATA, kGet, 102, 108, "flash data", true},
};

const UpdateControl* findControl(std::uint32_t selector) {
  for (const UpdateControl& c : kUpdateControls) {
    if (c.selector == selector) return &c;
  }
  return nullptr;
}

bool usedBy(const UpdateControl& control, ChipFamily family, bool readsBack, WriteRoute route) {
  return family >= control.first && family <= control.last && (readsBack || !control.readBack) &&
         (route == WriteRoute::Download || !control.download);
}

// Against the unit's descriptor. A control the unit lacks is named before
// one the driver hides behind it: it is the one to add.
ControlCheck checkDeclared(std::uint32_t declared, ChipFamily family, bool readsBack,
                           WriteRoute route, MissingControl& missing) {
  // The chip-ID read has just gone through the register address control:
  // a descriptor by which the driver would not offer it is not this unit's.
  if (controlHiddenBy(declared, XU_REG_ADDR) != 0) return ControlCheck::Unknown;
  for (const bool hidden : {false, true}) {
    for (const UpdateControl& control : kUpdateControls) {
      if (!usedBy(control, family, readsBack, route)) continue;
      const std::uint32_t by = controlHiddenBy(declared, control.selector);
      if (hidden ? by == 0 : declaresControl(declared, control.selector)) continue;
      missing = {control.selector, control.needs, false, 0, control.readBack};
      if (hidden) missing.hiddenBy = by;
      return ControlCheck::Missing;
    }
  }
  return ControlCheck::Offered;
}

}  // namespace

ControlCheck CheckUpdateControls(CXuChannel& channel, bool readsBack, MissingControl& missing,
                                 WriteRoute route) {
  const ChipFamily family = channel.family();
  std::uint32_t declared = 0;
  const HResult info = channel.queryDeclaredControls(declared);
  if (succeeded(info)) return checkDeclared(declared, family, readsBack, route, missing);
  // An answer that is not the unit's descriptor says nothing either way.
  if (info == kXuShortReply) return ControlCheck::Unknown;
  // The register address control has just carried the chip-ID read: a driver
  // that does not describe it as settable does not describe its controls,
  // and its other answers (a not-found among them) say nothing.
  std::uint32_t access = 0;
  if (failed(channel.QueryControlAccess(XU_REG_ADDR, access)) || (access & kSet) == 0) {
    return ControlCheck::Unknown;
  }
  for (const UpdateControl& control : kUpdateControls) {
    if (!usedBy(control, family, readsBack, route)) continue;
    access = 0;
    const HResult result = channel.QueryControlAccess(control.selector, access);
    if (result == hr::NotFound) {
      missing = {control.selector, control.needs, false, 0, control.readBack};
      return ControlCheck::Missing;
    }
    // The camera failed the driver's own questions about the control twice:
    // its requests would fail the same way in the middle of the update.
    if (result == kHrControlNotSetUp) {
      missing = {control.selector, control.needs, true, 0, control.readBack};
      missing.notSetUp = true;
      return ControlCheck::Missing;
    }
    if (failed(result)) return ControlCheck::Unknown;
    if ((access & control.needs) != control.needs) {
      missing = {control.selector, control.needs, true, access, control.readBack};
      return ControlCheck::Missing;
    }
  }
  return ControlCheck::Offered;
}

std::string DescribeMissingControl(const MissingControl& missing) {
  const UpdateControl* control = findControl(missing.selector);
  const std::string_view name = control != nullptr ? control->name : "unknown";
  const char* what = "is not in the camera's extension unit";
  char hidden[64];
  if (missing.notSetUp) {
    what =
        "could not be set up by the driver, which the camera did not tell its length or "
        "capabilities";
  } else if (missing.hiddenBy > kDriverControlLimit) {
    what = "is beyond the 31 controls the driver takes";
  } else if (missing.hiddenBy != 0) {
    std::snprintf(hidden, sizeof hidden, "is hidden by the driver after the gap at control %u",
                  static_cast<unsigned>(missing.hiddenBy));
    what = hidden;
  } else if (missing.declared) {
    const bool noSet = (missing.needs & kSet) != 0 && (missing.offers & kSet) == 0;
    what = noSet ? "cannot be set" : "cannot be read";
  }
  char text[224];
  std::snprintf(text, sizeof text, "control %u, the %.*s, %s%s",
                static_cast<unsigned>(missing.selector), static_cast<int>(name.size()), name.data(),
                what, missing.readBack ? " (the read-back after the update needs it)" : "");
  return text;
}

}  // namespace qv
