// The USB identity lookup over the fake device registry, and the parsing of
// hardware-ID fields.
#include <gtest/gtest.h>

#include <cstring>

#include "camera/camera_device.h"
#include "tests/support/fake_rig.h"

namespace qv {
namespace {

using test::FakeImageDevice;
using test::FakeRig;

TEST(ParseHexFieldTest, Digits) {
  EXPECT_EQ(ParseHexField("04F2"), 0x04F2);
  EXPECT_EQ(ParseHexField("04f2"), 0x04F2);
  EXPECT_EQ(ParseHexField("B5BD"), 0xB5BD);
  EXPECT_EQ(ParseHexField(" 4F2"), 0x04F2);
  EXPECT_EQ(ParseHexField(std::string("4F2\0", 4).c_str()), 0x4F20);
  EXPECT_EQ(ParseHexField("04G2"), 0xFFFF);
  EXPECT_EQ(ParseHexField(":;<="), 0xABCD);  // the six characters after '9'
  EXPECT_EQ(ParseHexField(">?00"), 0xEF00);
  EXPECT_EQ(ParseHexField("ffff"), 0xFFFF);
  EXPECT_EQ(ParseHexField("0000"), 0x0000);
  const char high[] = {'0', '0', static_cast<char>(0x80), '0'};
  EXPECT_EQ(ParseHexField(high), 0xFFFF);
  EXPECT_EQ(ParseHexField("@000"), 0xFFFF);  // '@' follows '?'
  EXPECT_EQ(ParseHexField("/000"), 0xFFFF);  // '/' precedes '0'
  EXPECT_EQ(ParseHexField("g000"), 0xFFFF);
}

constexpr const char* kCameraPath =
    "\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
constexpr const char* kCameraInstanceId = "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&0000";

FakeImageDevice imageDevice(const char* instanceId, const char* hardwareId,
                            std::uint32_t address = 0x0305) {
  FakeImageDevice d;
  d.instanceId = instanceId;
  d.hardwareIds = FakeImageDevice::multiString({hardwareId, "USB\\VID_04F2&PID_B5BD"});
  d.address = address;
  d.grandparentId = "USB\\ROOT_HUB30\\4&2a3b&0&0";
  return d;
}

struct UsbInfoRig {
  FakeRig rig;
  CCameraDevice camera{rig.platform};
  CAMERA_USB_INFO info{};
  UsbInfoRig(const char* path = kCameraPath) {
    test::FakeDevice d;
    d.path = path;
    rig.addDevice(d);
    EXPECT_EQ(camera.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    std::memset(&info, 0, sizeof(info));
  }
};

TEST(GetUsbInfoTest, ReadsTheCamerasNode) {
  UsbInfoRig r;
  r.rig.registry.devices.push_back(
      imageDevice("USB\\VID_1234&PID_0001\\5&ffff&q&qqqq", "USB\\VID_1234&PID_0001&REV_0001"));
  r.rig.registry.devices.push_back(
      imageDevice(kCameraInstanceId, "USB\\VID_04F2&PID_B5BD&REV_0100", 0x1207));
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_EQ(r.info.vendor, 0x04F2);
  EXPECT_EQ(r.info.product, 0xB5BD);
  EXPECT_EQ(r.info.revision, 0x0100);
  EXPECT_EQ(r.info.portAddress, 0x07);
  EXPECT_STREQ(r.info.grandparentId, "USB\\ROOT_HUB30\\4&2a3b&0&0");
  EXPECT_EQ(r.rig.registry.liveLists, 0);
}

TEST(GetUsbInfoTest, LowerCaseDigitsAndBadRevision) {
  UsbInfoRig r;
  r.rig.registry.devices.push_back(
      imageDevice(kCameraInstanceId, "usb\\vid_04f2&pid_b5bd&rev_01x0"));
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_EQ(r.info.vendor, 0x04F2);
  EXPECT_EQ(r.info.product, 0xB5BD);
  EXPECT_EQ(r.info.revision, 0xFFFF);
}

TEST(GetUsbInfoTest, EmptyListAndUnavailableList) {
  UsbInfoRig r;
  r.info.vendor = 0x1111;
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_EQ(r.info.vendor, 0x1111);  // untouched
  r.rig.registry.endError = 0;
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  r.rig.registry.endError = 31;  // the walk broke off with an error
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 1);
  EXPECT_EQ(r.rig.registry.liveLists, 0);
  r.rig.registry.available = false;
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 1);
  EXPECT_EQ(r.info.vendor, 0x1111);
}

TEST(GetUsbInfoTest, WholeIdIgnoresCaseTheTokenRuleDoesNot) {
  // The whole instance ID matches a path in capitals; an entry that only
  // shares a token matches the path's own case only.
  UsbInfoRig upperPath("\\\\?\\USB#VID_04F2&PID_B5BD&MI_00#6&1A2B3C4D&0&0000#{65E8773D}");
  upperPath.rig.registry.devices.push_back(
      imageDevice(kCameraInstanceId, "USB\\VID_04F2&PID_B5BD&REV_0100"));
  EXPECT_EQ(upperPath.camera.GetUsbInfo(upperPath.info), 0);
  EXPECT_EQ(upperPath.info.vendor, 0x04F2);

  upperPath.rig.registry.devices.assign(
      1, imageDevice("USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&9999",
                     "USB\\VID_1111&PID_2222&REV_0003"));
  upperPath.info.vendor = 0x2222;
  EXPECT_EQ(upperPath.camera.GetUsbInfo(upperPath.info), 0);
  EXPECT_EQ(upperPath.info.vendor, 0x2222);  // untouched
}

TEST(IsDevicePathOfTest, WholeInstanceIdAfterThePrefixThenHash) {
  struct Row {
    const char* path;
    const char* id;
    bool expected;
  };
  const Row rows[] = {
      {kCameraPath, kCameraInstanceId, true},
      {"\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{x}\\global", kCameraInstanceId, true},
      // The Linux form: "v4l:" and the same text.
      {"v4l:usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#video0", kCameraInstanceId, true},
      // An ID that is only the start of the path's, or runs past its end.
      {kCameraPath, "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&000", false},
      {"\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000", kCameraInstanceId, false},
      // Another interface of the same camera.
      {kCameraPath, "USB\\VID_04F2&PID_B5BD&MI_02\\6&1A2B3C4D&0&0002", false},
      // The ID must start right after the prefix, not anywhere in the path.
      {"\\\\?\\xyz#usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{x}", kCameraInstanceId, false},
      // Degenerate inputs.
      {kCameraPath, "", false},
      {"\\\\?", kCameraInstanceId, false},
      {nullptr, kCameraInstanceId, false},
      {kCameraPath, nullptr, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsDevicePathOf(row.path, row.id), row.expected)
        << (row.path ? row.path : "(null)") << " / " << (row.id ? row.id : "(null)");
  }
}

// A flatbed scanner without a serial number: its fourth token "0" occurs in
// almost every device path.
constexpr const char* kScannerInstanceId = "USB\\VID_04B8&PID_0142\\5&1A2B3C4D&0&2";
// Another camera of the same model on another port, also without a serial.
constexpr const char* kOtherCameraInstanceId = "USB\\VID_04F2&PID_B5BD&MI_00\\6&2B3C4D5E&0&0000";

// Which entry of the Image class (searched first) and the Camera class (the
// in-box driver's cameras are there only) is taken as the camera's: its own
// instance ID wins over earlier token matches; without one, a token match
// decides only alone and only when every entry could be read.
TEST(GetUsbInfoTest, WhichEntryIsTheCameras) {
  struct Case {
    const char* name;
    std::vector<FakeImageDevice> image;
    std::vector<FakeImageDevice> camera;
    int result;
    std::uint16_t vendor, product, revision;  // 0x2222: none taken
    std::uint8_t port;
    std::uint32_t imageEnd = win32err::NoMoreItems;
    bool cameraClass = true;
  };
  const FakeImageDevice scanner =
      imageDevice(kScannerInstanceId, "USB\\VID_04B8&PID_0142&REV_0100");
  const FakeImageDevice otherCamera =
      imageDevice(kOtherCameraInstanceId, "USB\\VID_04F2&PID_B5BD&REV_0100", 0x01);
  const FakeImageDevice own =
      imageDevice(kCameraInstanceId, "USB\\VID_04F2&PID_B5BD&REV_0200", 0x0C);
  const FakeImageDevice byInf = imageDevice(kCameraInstanceId, "USB\\VID_04F2&PID_1234&REV_0100");
  const FakeImageDevice token =
      imageDevice("USB\\VID_04F2&PID_B5BD\\6&1A2B3C4D&0&0000", "USB\\VID_3333&PID_4444&REV_0005");
  const Case cases[] = {
      {"own entry after token matches",
       {scanner, otherCamera, own},
       {},
       0,
       0x04F2,
       0xB5BD,
       0x0200,
       0x0C},
      {"one token match", {token}, {}, 0, 0x3333, 0x4444, 0x0005, 0x05},
      {"two token matches", {scanner, token}, {}, 0, 0x2222, 0x2222, 0x2222, 0x22},
      {"one token match in each class", {scanner}, {token}, 0, 0x2222, 0x2222, 0x2222, 0x22},
      {"Camera class only", {scanner}, {own}, 0, 0x04F2, 0xB5BD, 0x0200, 0x0C},
      {"Image class first (a vendor INF)", {byInf}, {own}, 0, 0x04F2, 0x1234, 0x0100, 0x05},
      {"Image list broke off, whole match", {}, {own}, 0, 0x04F2, 0xB5BD, 0x0200, 0x0C, 31},
      {"Image list broke off, token match", {}, {token}, 1, 0x2222, 0x2222, 0x2222, 0x22, 31},
      {"no Camera class",
       {own},
       {token},
       0,
       0x04F2,
       0xB5BD,
       0x0200,
       0x0C,
       win32err::NoMoreItems,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UsbInfoRig r;
    r.rig.registry.devices = c.image;
    r.rig.registry.cameraDevices = c.camera;
    r.rig.registry.endError = c.imageEnd;
    r.rig.registry.cameraClassAvailable = c.cameraClass;
    r.info.vendor = r.info.product = r.info.revision = 0x2222;
    r.info.portAddress = 0x22;
    EXPECT_EQ(r.camera.GetUsbInfo(r.info), c.result);
    EXPECT_EQ(r.info.vendor, c.vendor);
    EXPECT_EQ(r.info.product, c.product);
    EXPECT_EQ(r.info.revision, c.revision);
    EXPECT_EQ(r.info.portAddress, c.port);
    if (c.vendor != 0x2222) {
      EXPECT_STREQ(r.info.grandparentId, "USB\\ROOT_HUB30\\4&2a3b&0&0");
    }
    EXPECT_EQ(r.rig.registry.liveLists, 0);
  }
}

TEST(GetUsbInfoTest, FewerThanFourTokensOrRunsOfAmpersands) {
  UsbInfoRig r;
  r.rig.registry.devices.push_back(
      imageDevice("USB\\A&&&1a2b3c4d", "USB\\VID_1111&PID_2222&REV_0003"));
  r.rig.registry.devices.push_back(
      imageDevice("&&usb\\x&y&z&1A2B3C4D", "USB\\VID_3333&PID_4444&REV_0005"));
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  // The first has only two tokens; the second's leading "&&" gives no empty
  // token, so its fourth is "1a2b3c4d".
  EXPECT_EQ(r.info.vendor, 0x3333);
}

TEST(GetUsbInfoTest, UnreadableAddressStillGivesVendorAndProduct) {
  // The decision needs vendor and product: an entry without an address
  // property is the camera's all the same, with port 0.
  UsbInfoRig r;
  FakeImageDevice noAddress = imageDevice(kCameraInstanceId, "USB\\VID_04F2&PID_B5BD&REV_0100");
  noAddress.addressReadable = false;
  r.rig.registry.devices.push_back(noAddress);
  r.info.portAddress = 0x55;
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_EQ(r.info.vendor, 0x04F2);
  EXPECT_EQ(r.info.product, 0xB5BD);
  EXPECT_EQ(r.info.revision, 0x0100);
  EXPECT_EQ(r.info.portAddress, 0);
  EXPECT_STREQ(r.info.grandparentId, "USB\\ROOT_HUB30\\4&2a3b&0&0");
}

TEST(GetUsbInfoTest, ShortHardwareIdIsNotReadPastItsEnd) {
  UsbInfoRig r;
  FakeImageDevice d = imageDevice(kCameraInstanceId, "");
  // 22 bytes: vendor (8..11) and product (17..20) present, revision not.
  const std::string shortId = "USB\\VID_04F2&PID_B5BD";
  d.hardwareIds.assign(shortId.begin(), shortId.end());
  d.hardwareIds.push_back(0);
  r.rig.registry.devices.push_back(d);
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_EQ(r.info.vendor, 0x04F2);
  EXPECT_EQ(r.info.product, 0xB5BD);
  EXPECT_EQ(r.info.revision, 0xFFFF);

  // Four bytes of data: no field at all.
  d.hardwareIds = {'U', 'S', 'B', 0};
  r.rig.registry.devices.assign(1, d);
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_EQ(r.info.vendor, 0xFFFF);
  EXPECT_EQ(r.info.product, 0xFFFF);
  EXPECT_EQ(r.info.revision, 0xFFFF);
  EXPECT_EQ(r.info.portAddress, 0x05);
}

TEST(GetUsbInfoTest, HardwareIdEndingInsideTheRevisionCountsItsTerminator) {
  UsbInfoRig r;
  FakeImageDevice d = imageDevice(kCameraInstanceId, "");
  const std::string id = "USB\\VID_04F2&PID_B5BD&REV_010";  // 29 characters + NUL = 30 bytes
  d.hardwareIds.assign(id.begin(), id.end());
  d.hardwareIds.push_back(0);
  r.rig.registry.devices.push_back(d);
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_EQ(r.info.revision, 0x0100);  // the terminator is a final 0 digit
}

TEST(GetUsbInfoTest, MissingGrandparentLeavesTheCallersText) {
  UsbInfoRig r;
  FakeImageDevice d = imageDevice(kCameraInstanceId, "USB\\VID_04F2&PID_B5BD&REV_0100");
  d.grandparentId.clear();
  r.rig.registry.devices.push_back(d);
  std::strcpy(r.info.grandparentId, "keep");
  EXPECT_EQ(r.camera.GetUsbInfo(r.info), 0);
  EXPECT_STREQ(r.info.grandparentId, "keep");
  EXPECT_EQ(r.info.vendor, 0x04F2);
}

}  // namespace
}  // namespace qv
