#pragma once
// The firmware images linked into the executable (generated at build time by
// firmware/generate_firmware_images.cmake). Windows builds carry the same
// images as resources; this table serves the OS backends without a resource
// mechanism, and the tests.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv::firmware {

// The ids the executable carries; only FIRMWARE_RESOURCE_ID (106) is read.
inline constexpr int kEmbeddedImageIds[] = {102, 104, 105, 106};
// Every image: 32768 image bytes and the 18-byte trailer.
inline constexpr std::size_t kEmbeddedImageSize = 32786;
inline constexpr std::size_t kEmbeddedImageCodeSize = 32768;

struct EmbeddedImage {
  int id;
  const std::uint8_t* data;
  std::size_t size;
};

std::span<const EmbeddedImage> EmbeddedImages();

}  // namespace qv::firmware
