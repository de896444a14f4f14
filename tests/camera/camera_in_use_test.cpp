// The camera-in-use check over the fake camera stack: which pin is asked,
// and every way the filter can fail to tell.
#include <gtest/gtest.h>

#include "camera/camera_device.h"
#include "tests/support/fake_rig.h"

namespace qv {
namespace {

using test::FakeDevice;
using test::FakeRig;

constexpr Guid kStillPin = {
    0xFB6C428A, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

// Free, streaming and not supported are also whole runs on the simulated
// camera; here the pins asked, when the capture pin is not the first or
// there is none.
TEST(CameraInUseTest, TheCapturePinsGlobalCountDecides) {
  struct Case {
    const char* name;
    bool supported;
    std::vector<Guid> pins;
    CameraUse expected;
    std::vector<std::string> asked;
  };
  const Case cases[] = {
      {"capture pin second",
       true,
       {kStillPin, kPinNameVideoCapture},
       CameraUse::InUse,
       {"CTYPES 0", "CATEGORY 0", "CATEGORY 1", "INSTANCES 1"}},
      {"no capture pin",
       true,
       {kStillPin, kStillPin},
       CameraUse::Unknown,
       {"CTYPES 0", "CATEGORY 0", "CATEGORY 1"}},
      {"not supported", false, {kPinNameVideoCapture}, CameraUse::Unknown, {"CTYPES 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRig rig;
    FakeDevice d;
    d.chip->pinProperties = c.supported;
    d.chip->pinCategories = c.pins;
    d.chip->captureInstances = 2;
    rig.addDevice(d);
    CCameraDevice camera(rig.platform);
    ASSERT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    const std::uint32_t requestsBefore = rig.chip(0).requests;
    EXPECT_EQ(camera.core()->CheckCameraInUse(), c.expected);
    EXPECT_EQ(rig.chip(0).pinRequests, c.asked);
    // Not one extension-unit request.
    EXPECT_EQ(rig.chip(0).requests, requestsBefore);
  }
}

TEST(CameraInUseTest, ARunawayPinCountIsCutShort) {
  FakeRig rig;
  FakeDevice d;
  d.chip->pinCategories.assign(1000, kStillPin);
  rig.addDevice(d);
  CCameraDevice camera(rig.platform);
  ASSERT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
  EXPECT_EQ(camera.core()->CheckCameraInUse(), CameraUse::Unknown);
  EXPECT_EQ(rig.chip(0).pinRequests.size(), 1u + 32u);
}

}  // namespace
}  // namespace qv
