// The walk over a USB device's descriptors that finds the extension units of
// its VideoControl interface, on well-formed and malformed data.
#include <gtest/gtest.h>

#include <memory>

#include "fake_v4l2.h"
#include "platform/linux/usb_descriptors.h"

namespace qv::testing {
namespace {

using linux_host::ExtensionUnitDescriptor;
using linux_host::findExtensionUnits;

// The walk on a heap copy of exactly `bytes`, so that a read past its end is
// a read past an allocation (caught by the sanitizers and valgrind).
std::vector<ExtensionUnitDescriptor> Walk(const std::vector<std::uint8_t>& bytes,
                                          std::uint8_t interfaceNumber = 0,
                                          std::uint8_t configuration = 1) {
  auto copy = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return findExtensionUnits({copy.get(), bytes.size()}, interfaceNumber, configuration);
}

TEST(UsbDescriptors, GuidTakesTheWindowsByteOrder) {
  const std::uint8_t bytes[16] = {0x82, 0x06, 0x61, 0x63, 0x70, 0x50, 0xAB, 0x49,
                                  0xB8, 0xCC, 0xB3, 0x85, 0x5E, 0x8D, 0x22, 0x1D};
  EXPECT_EQ(linux_host::guidFromUsbBytes(std::span<const std::uint8_t, 16>(bytes)),
            XU_GUID_PRIMARY);
}

TEST(UsbDescriptors, FindsTheUnitsOfTheVideoControlInterfaceInOrder) {
  const UnitSpec a{4, XU_GUID_PRIMARY, {0xFF, 0xFF, 0x7F}, 23};
  const UnitSpec b{6, XU_GUID_SECONDARY, {0x03}, 2};
  const auto units = Walk(UvcDescriptors(2, {a, b}), 2);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].unitId, 4);
  EXPECT_EQ(units[0].guidExtensionCode, XU_GUID_PRIMARY);
  EXPECT_EQ(units[0].numControls, 23);
  EXPECT_EQ(units[0].controlSize, 3);
  EXPECT_EQ(units[0].bmControls, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(units[1].unitId, 6);
  EXPECT_EQ(units[1].guidExtensionCode, XU_GUID_SECONDARY);
  EXPECT_EQ(units[1].bmControls, (std::vector<std::uint8_t>{0x03}));
  // Another interface number (here the streaming interface, whose MJPEG
  // format has the unit's subtype) holds none.
  EXPECT_TRUE(Walk(UvcDescriptors(2, {a, b}), 0).empty());
  EXPECT_TRUE(Walk(UvcDescriptors(2, {a, b}), 3).empty());
}

// Every cut of a well-formed file: a unit counts once its whole descriptor
// lies within the bytes given, and nothing beyond them is read.
TEST(UsbDescriptors, EveryPrefixYieldsTheUnitsItHoldsWhole) {
  const UnitSpec a{4, XU_GUID_PRIMARY};
  const UnitSpec b{5, XU_GUID_SECONDARY};
  const auto full = UvcDescriptors(0, {a, b});
  const auto unitBytes = ExtensionUnitBytes(a);
  // Where each unit ends: after device (18), configuration (9), IAD (8),
  // interface (9), header (13), camera terminal (18).
  const std::size_t endA = 18 + 9 + 8 + 9 + 13 + 18 + unitBytes.size();
  const std::size_t endB = endA + unitBytes.size();
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::vector<std::uint8_t> prefix(full.begin(), full.begin() + n);
    const std::size_t expected = n >= endB ? 2 : n >= endA ? 1 : 0;
    EXPECT_EQ(Walk(prefix).size(), expected) << "first " << n << " bytes";
  }
}

struct Malformed {
  const char* name;
  std::function<void(std::vector<std::uint8_t>&)> damage;
  std::size_t units;  // found in the damaged file (of 2)
};

// Offsets in UvcDescriptors(0, {a, b}): unit a starts at 75, unit b at 103.
constexpr std::size_t kUnitA = 75;
constexpr std::size_t kUnitB = 103;

class MalformedDescriptors : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedDescriptors, EndOrSkipWithoutReadingPastTheEnd) {
  auto bytes = UvcDescriptors(0, {UnitSpec{4, XU_GUID_PRIMARY}, UnitSpec{5, XU_GUID_SECONDARY}});
  ASSERT_EQ(bytes[kUnitA + 2], 0x06);
  ASSERT_EQ(bytes[kUnitB + 2], 0x06);
  GetParam().damage(bytes);
  EXPECT_EQ(Walk(bytes).size(), GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedDescriptors,
    ::testing::Values(
        Malformed{"Empty", [](auto& b) { b.clear(); }, 0},
        Malformed{"OneByte", [](auto& b) { b.resize(1); }, 0},
        Malformed{"ZeroLengthBeforeTheUnitsEndsTheWalk", [](auto& b) { b[kUnitA] = 0; }, 0},
        Malformed{"LengthOneEndsTheWalk", [](auto& b) { b[kUnitA] = 1; }, 0},
        Malformed{"ZeroLengthBetweenTheUnits", [](auto& b) { b[kUnitB] = 0; }, 1},
        Malformed{"LastUnitRunsPastTheEnd", [](auto& b) { b.resize(kUnitB + 10); }, 1},
        Malformed{"OverlongLengthEndsTheWalk", [](auto& b) { b[kUnitB] = 0xFF; }, 1},
        // Too short for its fields, but stepped over by bLength: skipped,
        // and the walk goes on. (bLength 20 moves the next descriptor, so the
        // unit's bytes are cut to keep the file consistent.)
        Malformed{"TruncatedUnitIsSkipped",
                  [](auto& b) {
                    b[kUnitA] = 20;
                    b.erase(b.begin() + kUnitA + 20, b.begin() + kUnitB);
                  },
                  1},
        Malformed{"UnitDeclaringMoreInputPinsThanItHoldsIsSkipped",
                  [](auto& b) { b[kUnitA + 21] = 200; }, 1},
        Malformed{"UnitDeclaringMoreControlBytesThanItHoldsIsSkipped",
                  [](auto& b) { b[kUnitA + 23] = 200; }, 1},
        Malformed{"WrongTotalLengthIsIgnored",
                  [](auto& b) {
                    b[18 + 2] = 0xFF;
                    b[18 + 3] = 0xFF;
                  },
                  2},
        Malformed{"InterfaceOfAnotherClassHoldsNoUnits", [](auto& b) { b[35 + 5] = 0xFF; }, 0},
        // The active configuration (value 1) comes second in the file.
        Malformed{"ActiveConfigurationAfterAnotherIsWalked",
                  [](auto& b) {
                    const std::vector<std::uint8_t> copy(b.begin() + 18, b.end());
                    b.resize(18);
                    b.insert(b.end(), {9, 2, 9, 0, 0, 2, 0, 0x80, 50});
                    b.insert(b.end(), copy.begin(), copy.end());
                  },
                  2},
        Malformed{"ConfigurationDescriptorTooShortForItsValue",
                  [](auto& b) {
                    b.erase(b.begin() + 18 + 5, b.begin() + 18 + 9);
                    b[18] = 5;
                  },
                  0}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return info.param.name; });

// A device with two configurations, each with a video function on interface
// 0 whose units differ: the units are those of the configuration whose value
// is active, wherever it stands in the file, and none without one.
TEST(UsbDescriptors, UnitsComeFromTheActiveConfiguration) {
  const UnitSpec first{4, XU_GUID_PRIMARY};
  const UnitSpec second{7, XU_GUID_SECONDARY};
  auto bytes = UvcDescriptors(0, {first});
  auto other = UvcDescriptors(0, {second});
  other[18 + 5] = 2;  // bConfigurationValue of the second
  bytes.insert(bytes.end(), other.begin() + 18, other.end());
  bytes[17] = 2;  // bNumConfigurations

  struct Case {
    std::uint8_t active;
    std::vector<std::uint8_t> unitIds;
  };
  for (const Case& c : {Case{1, {4}}, Case{2, {7}}, Case{3, {}}, Case{0, {}}}) {
    std::vector<std::uint8_t> ids;
    for (const auto& unit : Walk(bytes, 0, c.active)) ids.push_back(unit.unitId);
    EXPECT_EQ(ids, c.unitIds) << "active configuration " << int{c.active};
  }
}

}  // namespace
}  // namespace qv::testing
