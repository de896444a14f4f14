#pragma once
// Writing flash contents back through the chip's SPI master, as families
// 102 to 105 let the host drive it: only the 4 KB sectors that differ are
// erased (with the part's own sector-erase opcode) and programmed again, in
// page programs of up to 32 bytes (one byte per program on the byte-program
// part). The flash is unprotected before the first sector and protected
// again after the last, whatever happened between. Families 106 to 108 have
// no such route: their flash is written only by the chip's own engine.

#include <cstdint>
#include <span>

#include "camera/camera_device.h"

namespace qv {

// The data bytes of one host page program: 32 keeps every program inside
// one 256-byte flash page and within the request record's room.
inline constexpr std::uint32_t kHostProgramBytes = 32;

struct HostWriteResult {
  bool written = false;              // every sector that differed now holds `wanted`'s bytes
  std::uint32_t sectorsWritten = 0;  // sectors erased (and programmed)
};

// Writes `wanted` (flash addresses 0 to its size, whole 4 KB sectors) over
// `current` (what the flash held, read just before, the same size). Tells
// the core's update observer the progress (UPD_TRANSFER, 5 to 94).
HostWriteResult WriteSectorsByHost(CCameraCore& core, std::uint8_t flashType,
                                   std::span<const std::uint8_t> wanted,
                                   std::span<const std::uint8_t> current);

// How many 4 KB sectors of `wanted` differ from `current`.
std::uint32_t DifferingSectors(std::span<const std::uint8_t> wanted,
                               std::span<const std::uint8_t> current);

}  // namespace qv
