#pragma once
// Whether a camera's extension unit offers every control an update uses,
// asked before the update's first request. A unit declares its controls one
// by one (bmControls), and each control says whether it takes GET and SET
// (GET_INFO); the camera's driver refuses a request to any other before it
// reaches the camera (uvcvideo: ENOENT, EBADRQC). A control missing late in
// the download would leave the chip in download mode with a half-written
// flash; missing before the start, it leaves the camera as it was.

#include <cstdint>
#include <string>

#include "channel/extension_unit_info.h"
#include "channel/xu_channel.h"

namespace qv {

enum class ControlCheck {
  Offered,  // every control the update uses is there, with the requests it sends
  Missing,  // one is not: the update must not start
  Unknown,  // the driver does not describe its controls: the update goes on
};

// The first control the check found missing.
struct MissingControl {
  std::uint32_t selector = 0;
  std::uint32_t needs = 0;   // kKsPropertyTypeGet | kKsPropertyTypeSet; 0: the length only
  bool declared = false;     // the unit has the control but not the requests
  std::uint32_t offers = 0;  // what the control takes, when declared
  bool readBack = false;     // only the read-back after the update uses it
  // The unit declares the control, but Windows' in-box driver hides it:
  // the first undeclared control before it, or kDriverControlLimit + 1
  // beyond the driver's limit. 0: not hidden.
  std::uint32_t hiddenBy = 0;
  bool notSetUp = false;  // declared, but the driver could not set it up
};

// Asks the bound channel about every control the download route of its
// chip family uses and, when the update is read back afterwards
// (`readsBack`), every control of the flash read-out too. Nothing is sent
// to the camera's controls.
//
// Where the driver hands out the unit's descriptor (Windows), its
// bmControls decide, with the in-box driver's numbering rule: a control is
// there only when it is at most kDriverControlLimit and every control from
// 1 up to it is declared. Basic support cannot tell there: usbvideo.sys
// answers it with its property handler's access flags, whatever the
// control. Where the descriptor is not handed out (the Linux stack), basic
// support is asked of each control: it answers from bmControls and the
// control's GET_INFO.
// How the flash is written: by the chip's download engine (an update, a
// restore on families 106 to 108), or by the host through the chip's SPI
// master (a restore on families 102 to 105: no download control is sent).
enum class WriteRoute { Download, HostSpi };

ControlCheck CheckUpdateControls(CXuChannel& channel, bool readsBack, MissingControl& missing,
                                 WriteRoute route = WriteRoute::Download);

// "control 12, the download commit, is not in the camera's extension unit",
// for the run's reason.
std::string DescribeMissingControl(const MissingControl& missing);

}  // namespace qv
