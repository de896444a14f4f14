// Camera discovery over the fake camera stack: counting, opening by
// position and family, the routes to the extension unit, and the release of
// every interface.
#include <gtest/gtest.h>

#include "camera/camera_device.h"
#include "tests/support/fake_rig.h"

namespace qv {
namespace {

using test::FakeDevice;
using test::FakeRig;
using test::kFakeOtherNode;
using test::kFakeXuNode;

FakeDevice device(std::uint8_t chipId, const char* path = nullptr) {
  FakeDevice d;
  d.chip->chipId = chipId;
  if (path != nullptr) d.path = path;
  return d;
}

FakeDevice privateOnly(std::uint8_t chipId) {
  FakeDevice d = device(chipId);
  d.topology = false;
  d.privateInterface = true;
  return d;
}

TEST(ChipFamilyTableTest, EveryRow) {
  // Nibble, family, chip-select value; 0x9 is 103 and 0x8 is 104.
  struct Row {
    std::uint8_t nibble;
    ChipFamily family;
    std::int32_t cs;
  };
  const Row expected[] = {{0x6, 102, 2}, {0x9, 103, 2}, {0x8, 104, 0}, {0xA, 105, 0},
                          {0xB, 106, 0}, {0xC, 107, 0}, {0xD, 108, 0}};
  ASSERT_EQ(kChipFamilyTable.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(kChipFamilyTable[i].idNibble, expected[i].nibble) << i;
    EXPECT_EQ(kChipFamilyTable[i].family, expected[i].family) << i;
    EXPECT_EQ(kChipFamilyTable[i].csAssert, expected[i].cs) << i;
  }
}

TEST(ChipFamilyTableTest, ClassifiesWholeIdRange) {
  for (int id = 0; id < 256; ++id) {
    ChipFamily family = 0;
    std::int32_t cs = -1;
    const bool accepted = ClassifyChipId(static_cast<std::uint8_t>(id), family, cs);
    const bool shouldAccept = (id >= 0x60 && id <= 0x6F) || (id >= 0x80 && id <= 0xDF);
    EXPECT_EQ(accepted, shouldAccept) << id;
  }
  ChipFamily family = 0;
  std::int32_t cs = 0;
  ASSERT_TRUE(ClassifyChipId(0x95, family, cs));
  EXPECT_EQ(family, 103);
  EXPECT_EQ(cs, 2);
}

TEST(CountCamerasTest, NoCategoryLeavesTheCountAlone) {
  FakeRig rig;
  rig.stack.enumResult = hr::False;  // empty category
  std::int32_t count = 0;
  EXPECT_EQ(CountCameras(rig.platform, count), 1);
  EXPECT_EQ(count, 0);
  rig.stack.enumResult = hr::Fail;
  count = 42;
  EXPECT_EQ(CountCameras(rig.platform, count), 1);
  EXPECT_EQ(count, 42);
  EXPECT_EQ(rig.stack.counts.coInitialize, 2);
}

TEST(CountCamerasTest, CountsUsbDevicesWhoseExtensionUnitAnswers) {
  FakeRig rig;
  rig.addDevice(device(0x8A));                                       // counted
  rig.addDevice(device(0x8A, "\\\\?\\root#image#0000#{65e8773d}"));  // not USB
  rig.addDevice(device(0x8A, "\\\\?\\Usb#vid_04f2"));                // mixed case
  FakeDevice noXu = device(0x8A);
  noXu.nodes = {kFakeOtherNode};
  rig.addDevice(noXu);               // no answering node
  rig.addDevice(privateOnly(0x70));  // private interface: counted (ID not judged)
  FakeDevice neither = device(0x8A, "\\\\?\\USB#VID_1234");
  neither.topology = false;
  rig.addDevice(neither);  // no topology, no private interface
  FakeDevice unbound = device(0x8A);
  unbound.bindFilterFails = true;
  rig.addDevice(unbound);
  std::int32_t count = 0;
  EXPECT_EQ(CountCameras(rig.platform, count), 0);
  EXPECT_EQ(count, 2);
  // One settle wait per device, bound or not.
  EXPECT_EQ(rig.os.clock.sleeps, std::vector<std::uint32_t>(7, 300));
  EXPECT_FALSE(rig.stack.counts.anyLive());
  EXPECT_EQ(rig.stack.counts.coUninitialize, 0);
}

TEST(CountCamerasTest, UnreadablePathIsNoCandidate) {
  FakeRig rig;
  rig.addDevice(device(0x8A));
  FakeDevice broken = device(0x8A);
  broken.pathReadFails = true;  // the fake writes nothing: empty text
  rig.addDevice(broken);
  std::int32_t count = 0;
  // An unreadable path is empty, so not a candidate: passed over.
  EXPECT_EQ(CountCameras(rig.platform, count), 0);
  EXPECT_EQ(count, 1);
}

TEST(CountCamerasTest, FailedPathReadOfACandidateStopsTheWalk) {
  FakeRig rig;
  rig.addDevice(device(0x8A));
  FakeDevice broken = device(0x8A);
  broken.pathReadFailsAfterWriting = true;
  rig.addDevice(broken);
  rig.addDevice(device(0x8A));
  std::int32_t count = 7;
  EXPECT_EQ(CountCameras(rig.platform, count), 1);
  EXPECT_EQ(count, 7);  // not written
  EXPECT_FALSE(rig.stack.counts.anyLive());

  CCameraDevice camera(rig.platform);
  EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 1), 1);
  EXPECT_EQ(camera.core()->channel(), nullptr);
  EXPECT_EQ(rig.stack.counts.filter.live, 0);
  EXPECT_EQ(rig.os.clock.sleeps.size(), 2u + 2u);  // both walks stopped at the second device
}

TEST(OpenCameraTest, RefusesFamiliesOutsideTheRange) {
  FakeRig rig;
  rig.addDevice(device(0x8A));
  CCameraDevice camera(rig.platform);
  EXPECT_EQ(camera.OpenCamera(100, 0), 160);
  EXPECT_EQ(camera.OpenCamera(109, 0), 160);
  EXPECT_EQ(camera.OpenCamera(0, 0), 160);
  EXPECT_EQ(rig.stack.counts.coInitialize, 0);
  EXPECT_EQ(camera.core()->channel(), nullptr);
}

TEST(OpenCameraTest, NoDevicesReturnsOneWithoutChannel) {
  FakeRig rig;
  rig.stack.enumResult = hr::False;
  CCameraDevice camera(rig.platform);
  EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 1);
  EXPECT_EQ(camera.core()->channel(), nullptr);
}

TEST(OpenCameraTest, ClassifiesTheChipAndSetsChipSelect) {
  struct Case {
    std::uint8_t id;
    ChipFamily family;
    std::int32_t cs;
  };
  for (Case c : {Case{0x6A, 102, 2}, Case{0x95, 103, 2}, Case{0x80, 104, 0}, Case{0xA1, 105, 0},
                 Case{0xB2, 106, 0}, Case{0xC3, 107, 0}, Case{0xDF, 108, 0}}) {
    FakeRig rig;
    rig.addDevice(device(c.id));
    g_spiCsAssertValue = 77;
    CCameraDevice camera(rig.platform);
    ASSERT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 0) << int(c.id);
    EXPECT_EQ(camera.core()->channel()->family(), c.family);
    EXPECT_EQ(camera.core()->channel()->mode(), XU_MODE_KS);
    EXPECT_EQ(g_spiCsAssertValue, c.cs);
    // The chip ID read: address 0x20FF, then one data byte.
    const auto& trace = rig.chip(0).trace;
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[0], "GET 2 2 00 00");  // the probe
    EXPECT_EQ(trace[1], "SET 2 FF 20");
    EXPECT_EQ(trace[2], "GET 3 1 " + test::FakeChip::hex(c.id));
  }
}

TEST(OpenCameraTest, RejectedIdsAreNeverTaken) {
  for (std::uint8_t id : {0x70, 0x5F, 0xE0, 0xFF, 0x00}) {
    FakeRig rig;
    rig.addDevice(device(id));
    CCameraDevice camera(rig.platform);
    EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 1) << int(id);
    EXPECT_EQ(camera.core()->channel(), nullptr);
  }
}

TEST(OpenCameraTest, PositionCountsReachableDevicesBeforeTheIdIsJudged) {
  FakeRig rig;
  rig.addDevice(device(0x60));                         // position 1
  rig.addDevice(device(0x8A, "\\\\?\\hid#vid_04f2"));  // not USB
  rig.addDevice(device(0x70));                         // position 2, rejected
  rig.addDevice(device(0x80));                         // position 3
  {
    CCameraDevice camera(rig.platform);
    EXPECT_EQ(camera.OpenCamera(104, 0), 1);  // position 1 is family 102
  }
  {
    CCameraDevice camera(rig.platform);
    EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 1), 1);  // position 2 is rejected
    // The walk read later devices' paths: none of them is the camera's.
    EXPECT_STREQ(camera.core()->devicePath(), "");
  }
  {
    CCameraDevice camera(rig.platform);
    EXPECT_EQ(camera.OpenCamera(104, 2), 0);
    EXPECT_EQ(camera.core()->channel()->family(), 104);
    EXPECT_STREQ(camera.core()->devicePath(), rig.stack.devices[3].path.c_str());
  }
  {
    CCameraDevice camera(rig.platform);
    EXPECT_EQ(camera.OpenCamera(102, 0), 0);
    EXPECT_EQ(g_spiCsAssertValue, 2);
  }
  EXPECT_FALSE(rig.stack.counts.anyLive());
  EXPECT_EQ(rig.stack.counts.coInitialize, 4);
  EXPECT_EQ(rig.stack.counts.coUninitialize, 4);  // one per released core
}

TEST(OpenCameraTest, FailedChipIdReadRejectsButKeepsThePosition) {
  FakeRig rig;
  test::FakeChip& first = rig.addDevice(device(0x8A));
  first.failFrom = 3;  // probe, address SET, then the data GET fails
  first.failCount = 1;
  rig.addDevice(device(0x8A));
  CCameraDevice camera(rig.platform);
  EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 1);
  CCameraDevice second(rig.platform);
  EXPECT_EQ(second.OpenCamera(CHIP_FAMILY_ANY, 1), 0);
}

TEST(OpenCameraTest, FilterWithoutKsControlIsNeverOpened) {
  FakeRig rig;
  FakeDevice d = privateOnly(0x8A);
  d.ks = false;
  rig.addDevice(d);
  std::int32_t count = 0;
  CountCameras(rig.platform, count);
  EXPECT_EQ(count, 1);  // counted through its private interface
  CCameraDevice camera(rig.platform);
  EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 1);
  EXPECT_EQ(camera.core()->channel(), nullptr);
}

TEST(OpenCameraTest, SecondaryGuidAndNodeChoice) {
  FakeRig rig;
  FakeDevice d = device(0xB1);
  d.nodes = {kFakeOtherNode, kFakeXuNode, kFakeXuNode};
  d.chip->xuSet = XU_GUID_SECONDARY;
  rig.addDevice(d);
  CCameraDevice camera(rig.platform);
  ASSERT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
  EXPECT_EQ(camera.core()->channel()->nodeId(), 1u);
  EXPECT_EQ(camera.core()->channel()->property().Property.Set, XU_GUID_SECONDARY);
  const auto& trace = rig.chip(0).trace;
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0], "GET 2 !80070492");  // primary refused with "set not found"
  EXPECT_EQ(trace[1], "GET 2 2 00 00");
}

TEST(OpenCameraTest, PrivateRouteReadsTheChipIdWithRawBlocks) {
  FakeRig rig;
  rig.addDevice(privateOnly(0xC5));
  CCameraDevice camera(rig.platform);
  ASSERT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
  EXPECT_EQ(camera.core()->channel()->mode(), XU_MODE_PRIVATE);
  EXPECT_EQ(camera.core()->channel()->family(), 107);
  const auto& blocks = rig.stack.privateBlocks;
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0], (std::vector<std::uint8_t>{0x02, 0x00, 0x01, 0x02, 0xFF, 0x20}));
  EXPECT_EQ(blocks[1], (std::vector<std::uint8_t>{0x01, 0x00, 0x81, 0x03, 0, 0, 0, 0}));
  EXPECT_EQ(rig.chip(0).trace, (std::vector<std::string>{"SET 2 FF 20", "GET 3 1 C5"}));
  // Later requests go through the private interface too.
  std::uint8_t value = 0;
  EXPECT_EQ(camera.core()->ReadRegister(0x20FF, value), hr::Ok);
  EXPECT_EQ(value, 0xC5);
}

TEST(OpenCameraTest, PrivateReadThatWritesNothingRejects) {
  FakeRig rig;
  FakeDevice d = privateOnly(0x8A);
  d.chip->failFrom = 2;  // the GET fails: the reply leaves the block alone
  d.chip->failCount = 1;
  rig.addDevice(d);
  CCameraDevice camera(rig.platform);
  EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 1);
}

TEST(OpenCameraTest, ModesAlongTheWalk) {
  // A private interface found on the first device stays for the walk: the
  // second device with a topology runs in KS-and-private mode.
  FakeRig rig;
  FakeDevice both = device(0x70);  // rejected ID
  both.privateInterface = true;
  rig.addDevice(both);
  rig.addDevice(device(0x8A));
  CCameraDevice camera(rig.platform);
  ASSERT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 1), 0);
  EXPECT_EQ(camera.core()->channel()->mode(), XU_MODE_KS_AND_PRIVATE);
  EXPECT_EQ(rig.stack.counts.privateQueries, 1);  // not asked again on the second
  EXPECT_EQ(rig.stack.counts.privateInterface.live, 1);
  EXPECT_EQ(rig.stack.counts.filter.live, 1);
  EXPECT_EQ(rig.stack.counts.ks.live, 1);
  EXPECT_EQ(rig.stack.counts.topology.live, 0);
  EXPECT_EQ(rig.stack.counts.moniker.live, 0);
  EXPECT_EQ(rig.stack.counts.monikerEnum.live, 0);
}

TEST(OpenCameraTest, LaterDeviceWithoutTopologyIsReachedThroughTheEarlierPrivateInterface) {
  FakeRig rig;
  FakeDevice first = privateOnly(0x8A);  // position 1: passed over, its interface stays
  rig.addDevice(first);
  FakeDevice second = device(0x60);
  second.topology = false;  // no topology, no private interface of its own
  rig.addDevice(second);
  CCameraDevice camera(rig.platform);
  ASSERT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 1), 0);
  EXPECT_EQ(camera.core()->channel()->mode(), XU_MODE_PRIVATE);
  // The chip ID came through the first device's interface: family 104.
  EXPECT_EQ(camera.core()->channel()->family(), 104);
  EXPECT_EQ(rig.chip(0).trace.size(), 4u);
  EXPECT_TRUE(rig.chip(1).trace.empty());
  EXPECT_EQ(rig.stack.counts.privateQueries, 1);
}

TEST(OpenCameraTest, FailedOpenKeepsNothingButThePrivateInterface) {
  FakeRig rig;
  FakeDevice d = privateOnly(0x70);
  rig.addDevice(d);
  {
    CCameraDevice camera(rig.platform);
    EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 1);
    EXPECT_EQ(camera.core()->channel(), nullptr);
    EXPECT_EQ(rig.stack.counts.filter.live, 0);
    EXPECT_EQ(rig.stack.counts.privateInterface.live, 1);
    // A second open on the same core creates a new channel.
    rig.chip(0).chipId = 0x8A;
    EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    EXPECT_NE(camera.core()->channel(), nullptr);
  }
  EXPECT_FALSE(rig.stack.counts.anyLive());
  EXPECT_EQ(rig.stack.counts.coUninitialize, 1);
}

TEST(OpenCameraTest, EveryInterfaceIsReleasedWithTheDevice) {
  FakeRig rig;
  rig.addDevice(device(0x60));
  FakeDevice both = device(0x8A);
  both.privateInterface = true;
  rig.addDevice(both);
  {
    CCameraDevice camera(rig.platform);
    ASSERT_EQ(camera.OpenCamera(104, 1), 0);
    EXPECT_EQ(rig.stack.counts.filter.live, 1);
  }
  EXPECT_FALSE(rig.stack.counts.anyLive());
  EXPECT_EQ(rig.stack.counts.filter.created, 2);
  EXPECT_EQ(rig.os.clock.sleeps.size(), 2u);
}

}  // namespace
}  // namespace qv
