#pragma once
// The serial-flash sequences an update relies on to have taken effect --
// the status-register write, the status clear, and the page program of a
// few flash bytes -- in a form that tells whether every request of theirs
// succeeded. They send exactly the requests of the core's own sequences
// (FlashWriteStatus, FlashWritePage, WriteFlashBytes), which leave most
// intermediate results unexamined (a write enable the flash never saw makes
// it ignore the write); these judge them by the core's count of failed
// requests. A wait that gave up (the core faulted) is a failure too.

#include <cstdint>

#include "camera/camera_device.h"

namespace qv {

// FlashWriteStatus(value, useEwsr); true when the register holds the value
// (already, or written with every request succeeding).
bool WriteFlashStatusChecked(CCameraCore& core, std::uint8_t value, std::int32_t useEwsr);

// The status clear of the sector-pair route: when the status register does
// not read 0x00, Write Enable and a status write of 0x00 (FlashWriteStatus
// without its own comparison), then the status read once more. True when
// every request succeeded.
bool ClearFlashStatusChecked(CCameraCore& core);

// WriteFlashBytes(address, length, data); true when every request
// succeeded.
bool WriteFlashBytesChecked(CCameraCore& core, std::uint32_t address, std::uint32_t length,
                            const std::uint8_t* data);

// FlashWritePage(request); true when every request succeeded.
bool WriteFlashPageChecked(CCameraCore& core, const PageProgramRequest& request);

}  // namespace qv
