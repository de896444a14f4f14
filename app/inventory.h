#pragma once
// The inventory of the counted cameras: what each camera is and what its
// flash holds, found only with requests that read (the device walk, the
// identity lookup, flash identification and the read-out the dump uses).

#include <span>
#include <string>

#include "app/run_record.h"

namespace qv {

// The USB identity, target or not, chip family and path of an opened camera.
void RecordIdentity(CCameraDevice& device, CameraRecord& record);

// Identifies the flash part and reads the flash over the span an update
// decides, comparing it with what an update with `image` leaves there.
// Unknown when an identification request failed or the read-out failed.
// Returns the FlashType an update of this camera hands the engine.
std::uint8_t RecordFirmwareState(CCameraDevice& device, std::span<const std::uint8_t> image,
                                 CameraRecord& record);

// The lines "--version" adds after the version: per chip family the
// embedded image's length, the checksum the engine computes and the first
// 12 hexadecimal digits of its SHA-256.
std::string FirmwareVersionLines(std::span<const std::uint8_t> image);

// The human inventory: a header line and one aligned line per camera.
std::string FormatInventory(std::span<const CameraRecord> records);

// "0x%.2X".
std::string HexByte(std::uint8_t value);
// "%.4X".
std::string Hex4Text(std::uint16_t value);
// What the USB identity lookup leaves in a field of the hardware ID it
// could not read (no vendor or product has this number).
inline constexpr std::uint16_t kUnreadableUsbField = 0xFFFF;
// A camera passed over as of another make, noted for the run's reason:
// "camera 1 is 046D:0825".

void NoteOtherCamera(std::int32_t index, std::uint16_t vendor, std::uint16_t product);

}  // namespace qv
