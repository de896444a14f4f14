#pragma once
// What a camera's flash holds after a successful update of the embedded
// image, per chip family.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "flash/flash_tables.h"
#include "sim_harness.h"

namespace qv::testing {

// The flash holds image 106 as the update writes it: every image byte in
// place (the trailer included), except the command-class code byte that the
// engine patches for the part, and the header at address 0 that the family
// finishes with (0x55 on 102 to 104, 0x89 on 105; 106 to 108 commit the
// image's own first byte).
inline void ExpectFlashHoldsImage(const std::vector<std::uint8_t>& flash, std::uint8_t family,
                                  std::uint8_t flashType) {
  const auto image = EmbeddedImage106();
  ASSERT_GE(flash.size(), image.size());
  const ImageCodeRow* row = ImageCodeRowOf(family);
  ASSERT_NE(row, nullptr);
  const std::uint32_t codeOffset = row->offset;
  const std::uint8_t code = row->codes[static_cast<std::size_t>(FlashClassOf(flashType))];
  // On families whose code byte lies beyond the image (102 and 103) the
  // patch stays in the buffer and never reaches the flash.
  if (codeOffset < image.size()) {
    EXPECT_EQ(flash[codeOffset], code) << "image code byte";
  }
  std::size_t mismatches = 0;
  for (std::size_t i = 2; i < image.size(); ++i) {
    if (i == codeOffset) continue;
    if (flash[i] != image[i] && mismatches++ < 5) {
      ADD_FAILURE() << "flash[0x" << std::hex << i << "] = 0x" << int(flash[i]) << ", image 0x"
                    << int(image[i]);
    }
  }
  EXPECT_EQ(mismatches, 0u);
  if (family <= 104) {
    EXPECT_EQ(flash[0], 0x55);
    EXPECT_EQ(flash[1], image[1]);
  } else if (family == 105) {
    EXPECT_EQ(flash[0], 0x89);
  } else {
    EXPECT_EQ(flash[0], codeOffset == 0 ? code : image[0]);
  }
}

}  // namespace qv::testing
