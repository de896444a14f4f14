// The whole tool on the V4L2 camera stack: a fake sysfs tree and fake device
// nodes whose extension-unit requests pass uvcvideo's rules and reach the
// simulator's camera model. Dump, update, the identity lookup, a camera
// without permission and an unplugged camera.
#include <gtest/gtest.h>

#include "fake_v4l2.h"
#include "flash_expectations.h"
#include "platform/linux/linux_camera_stack.h"
#include "platform/linux/linux_device_registry.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::string kChecking = "Checking, Please wiat...\n";

sim::XuRequest ModelRequest(UvcRequest request) {
  switch (request) {
    case UvcRequest::SetCur:
      return sim::XuRequest::Set;
    case UvcRequest::GetCur:
      return sim::XuRequest::Get;
    default:
      return sim::XuRequest::Len;
  }
}

// Cameras of a scene (the models: chip, flash, faults) placed on the fake
// USB bus.
class LinuxRig {
 public:
  struct Placement {
    CameraSpec usb;
    int captureNode = 0;
    int openErrno = 0;
  };

  LinuxRig(const std::vector<json>& cameras, std::vector<Placement> placements) {
    files.executable = Widen(tree.dir.file("qvflash"));
    std::string error;
    session = sim::SimSession::OpenText(
        json{{"cameras", json(cameras)}, {"image_devices", json::array()}}.dump(), tree.dir.path(),
        "scene.json", error);
    EXPECT_NE(session, nullptr) << error;
    for (std::size_t i = 0; i < placements.size(); ++i) {
      const Placement& p = placements[i];
      sim::CameraModel& model = session->camera(i);
      drivers.push_back(std::make_unique<UvcDriverFake>(
          p.usb.units, [&model](UvcRequest request, std::uint8_t selector, std::uint8_t* data,
                                std::uint16_t length, std::uint32_t& reported) {
            return model.request(ModelRequest(request), selector, data, length, reported);
          }));
      const std::string folder = tree.AddCamera(p.usb);
      AddUvcNodes(tree, io, folder, UsbBusInfo(p.usb), p.captureNode, p.captureNode + 1,
                  drivers.back().get());
      io.nodes[tree.devNode(p.captureNode)].openErrno = p.openErrno;
    }
  }

  static std::string UsbBusInfo(const CameraSpec& usb) {
    return "usb-" + usb.controller + "-" + usb.devpath;
  }

  Platform platform() {
    return Platform{stack, registry, session->clock(), files, resources, profile, guard, console};
  }

  int Run(const std::vector<std::wstring>& args) {
    const Platform p = platform();
    const int exitCode = RunQvflash(args, p);
    session->Finish();
    return exitCode;
  }

  std::vector<std::uint8_t> Flash(std::size_t camera) {
    const auto flash = session->camera(camera).flash();
    return {flash.begin(), flash.end()};
  }

  FakeSysfs tree;
  FakeKernelIo io;
  std::unique_ptr<sim::SimSession> session;
  std::vector<std::unique_ptr<UvcDriverFake>> drivers;
  CapturingConsole console;
  FolderFileSystem files;
  linux_host::LinuxResources resources;
  linux_host::LinuxProfile profile;
  ScriptedGuard guard;
  linux_host::LinuxCameraStack stack{io, tree.roots(), console};
  linux_host::LinuxDeviceRegistry registry{io, tree.roots()};
};

CameraSpec Usb(const std::string& devpath, std::uint16_t vendor = 0x04F2,
               std::uint16_t product = 0xB5BD) {
  CameraSpec camera;
  camera.devpath = devpath;
  camera.vendor = vendor;
  camera.product = product;
  return camera;
}

std::vector<std::uint8_t> Pattern() {
  std::vector<std::uint8_t> bytes(65536);
  std::uint32_t x = 0x12345678;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

TEST(LinuxTool, DumpsTheFlashOfARealCameraStack) {
  const auto contents = Pattern();
  TempDir flashDir;
  WriteBytes(flashDir.file("flash0.bin"), contents);
  json camera = Camera(0);
  camera["flash_file"] = flashDir.file("flash0.bin");
  LinuxRig rig({camera}, {{Usb("1"), 0, 0}});
  EXPECT_EQ(rig.Run({L"-dump"}), 0);
  EXPECT_EQ(rig.console.out, kChecking + "Dump FW ok.\nPass");
  EXPECT_EQ(ReadBytes(rig.tree.dir.file("Dump.bin")), contents);
  EXPECT_EQ(rig.Flash(0), contents);
  EXPECT_TRUE(rig.console.err.empty());
  // Every node the run opened is closed again.
  EXPECT_TRUE(rig.io.openFds.empty());
  EXPECT_EQ(rig.io.badCloses, 0);
}

TEST(LinuxTool, UpdatesTheTargetCameraBehindAnotherVendorsCamera) {
  // Another vendor's camera on port 1, the target behind a hub on port 1.4.
  LinuxRig rig({Camera(0), Camera(1)}, {{Usb("1", 0x046D, 0x0825), 0, 0}, {Usb("1.4"), 2, 0}});
  EXPECT_EQ(rig.Run({L"-dbg"}), 0);
  const std::string head = kChecking +
                           "Device 0 VID/PID not match (0x046D/0x0825)\n"
                           "--> Device 1 VID/PID (0x04F2/0xB5BD)\n"
                           "Flash : GD25Q512\n"
                           "start update...\n";
  EXPECT_EQ(rig.console.out.substr(0, head.size()), head);
  const std::string tail = "Update Success\nPass";
  ASSERT_GE(rig.console.out.size(), tail.size());
  EXPECT_EQ(rig.console.out.substr(rig.console.out.size() - tail.size()), tail);
  EXPECT_EQ(rig.Flash(0), std::vector<std::uint8_t>(65536, 0xFF));
  ExpectFlashHoldsImage(rig.Flash(1), 104, 122);
  EXPECT_TRUE(rig.io.openFds.empty());
}

// A USB 3 controller's USB 2 and USB 3 root hubs (buses 1 and 2) carry one
// name, so both cameras on their port 1 read the same bus_info: another
// vendor's camera on the first, the target on the second. Each keeps its
// own identity: the other is passed over and left alone, the target written.
TEST(LinuxTool, CamerasOnOnePortOfBothRootHubsKeepTheirIdentities) {
  CameraSpec other = Usb("1", 0x046D, 0x0825);
  CameraSpec target = Usb("1");
  target.bus = 2;
  LinuxRig rig({Camera(0), Camera(1)}, {{other, 0, 0}, {target, 2, 0}});
  EXPECT_EQ(LinuxRig::UsbBusInfo(other), LinuxRig::UsbBusInfo(target));
  EXPECT_EQ(rig.Run({L"-dbg"}), 0);
  const std::string head = kChecking +
                           "Device 0 VID/PID not match (0x046D/0x0825)\n"
                           "--> Device 1 VID/PID (0x04F2/0xB5BD)\n";
  EXPECT_EQ(rig.console.out.substr(0, head.size()), head);
  EXPECT_EQ(rig.Flash(0), std::vector<std::uint8_t>(65536, 0xFF));
  ExpectFlashHoldsImage(rig.Flash(1), 104, 122);
  // Their camera IDs tell them apart by bus.
  LinuxRig list({Camera(0), Camera(1)}, {{other, 0, 0}, {target, 2, 0}});
  EXPECT_EQ(list.Run({L"--list"}), 0);
  EXPECT_NE(list.console.out.find(" usb-1-1 "), std::string::npos) << list.console.out;
  EXPECT_NE(list.console.out.find(" usb-2-1 "), std::string::npos) << list.console.out;
}

TEST(LinuxTool, PlainUpdatePrintsOnlyCheckingAndPass) {
  LinuxRig rig({Camera(0)}, {{Usb("1"), 0, 0}});
  EXPECT_EQ(rig.Run({}), 0);
  EXPECT_EQ(rig.console.out, kChecking + "Pass");
  ExpectFlashHoldsImage(rig.Flash(0), 104, 122);
}

TEST(LinuxTool, CameraWithoutPermissionIsSkippedWithOneNoteOnStandardError) {
  LinuxRig rig({Camera(0), Camera(1)}, {{Usb("1"), 0, EACCES}, {Usb("2"), 2, 0}});
  EXPECT_EQ(rig.Run({}), 0);
  EXPECT_EQ(rig.console.out, kChecking + "Pass");
  EXPECT_EQ(std::count(rig.console.err.begin(), rig.console.err.end(), '\n'), 1);
  EXPECT_NE(rig.console.err.find(rig.tree.devNode(0)), std::string::npos);
  EXPECT_EQ(rig.Flash(0), std::vector<std::uint8_t>(65536, 0xFF));
  ExpectFlashHoldsImage(rig.Flash(1), 104, 122);
}

TEST(LinuxTool, NoCameraFails) {
  LinuxRig rig({}, {});
  EXPECT_EQ(rig.Run({}), 1);
  EXPECT_EQ(rig.console.out, "Fail");
}

TEST(LinuxTool, CameraUnpluggedDuringTheDownloadFails) {
  json camera = Camera(0);
  camera["faults"] = {{{"unplug_after", 400}}};
  LinuxRig rig({camera}, {{Usb("1"), 0, 0}});
  EXPECT_EQ(rig.Run({}), 1);
  ASSERT_GE(rig.console.out.size(), 4u);
  EXPECT_EQ(rig.console.out.substr(rig.console.out.size() - 4), "Fail");
  EXPECT_GE(rig.drivers[0]->log.size(), 400u);
  EXPECT_TRUE(rig.io.openFds.empty());
}

// The errno behind the failed request is shown under -dbg, after the status
// the logic saw; a plain run tells only the reason.
TEST(LinuxTool, SilentCameraUnderDbgShowsTheSystemsError) {
  for (const bool verbose : {false, true}) {
    SCOPED_TRACE(verbose);
    json camera = Camera(0);
    camera["faults"] = {{{"request", 120}, {"result", "0x80070079"}, {"count", 1}}};
    LinuxRig rig({camera}, {{Usb("1"), 0, 0}});
    EXPECT_EQ(rig.Run(verbose ? std::vector<std::wstring>{L"-dbg"} : std::vector<std::wstring>{}),
              1);
    const std::string& err = rig.console.err;
    ASSERT_EQ(err.rfind("qvflash: the camera stopped answering", 0), 0u) << err;
    const std::string status =
        "qvflash: status 0x80070079\nqvflash: system error 110 (ETIMEDOUT)\n";
    EXPECT_EQ(err.substr(err.find('\n') + 1), verbose ? status : "");
  }
}

// How the tool held the camera's colour and infrared nodes when each request
// of the model arrived: 'u' user-pointer buffers, 'm' a memory-mapped one,
// '-' not held.
class HeldAtEachRequest : public sim::RequestObserver {
 public:
  HeldAtEachRequest(const FakeNode& colour, const FakeNode& infrared)
      : colour_(colour), infrared_(infrared) {}
  void requestStarted() override {
    colour += Of(colour_);
    infrared += Of(infrared_);
  }
  void requestFinished() override {}
  std::string colour;
  std::string infrared;

 private:
  static char Of(const FakeNode& node) {
    if (node.heldBy < 0) return '-';
    return node.heldMemory == V4L2_MEMORY_USERPTR ? 'u' : 'm';
  }
  const FakeNode& colour_;
  const FakeNode& infrared_;
};

// An update of a camera with a colour and an infrared capture function. Both
// are held from before the first request that changes the camera until the
// engine returns (the read-back of --verify comes after), then given back,
// and power/control put back. Another program streaming from the infrared
// node, which the bound node's in-use answer does not see, stops it before
// anything is written. A control whose set-up in the driver failed is asked
// once more; one that never sets up stops the update with that reason.
TEST(LinuxTool, TheCameraIsHeldWhileItIsWritten) {
  struct Row {
    const char* name;
    std::vector<std::wstring> args;
    bool infraredStreams = false;
    int userptrErrno = 0;  // both nodes refuse user pointers with this
    bool powerWritable = true;
    int setUpFailures = 0;  // the driver's set-ups of control 11 that fail
    int exitCode = 0;
    char held = 'u';  // how the requests in download mode and the last one found both nodes
    std::string said = "";
  };
  const std::string inUse = "another program is using the camera";
  const std::string notSetUp =
      "a request to the camera failed (control 11, the download "
      "checksum, could not be set up by the driver";
  const Row rows[] = {
      {"held", {}},
      {"read back after the release", {L"--verify"}},
      {"no user pointers", {}, false, EINVAL, true, 0, 0, 'm'},
      {"power/control not writable", {}, false, 0, false},
      {"set up on the second try", {}, false, 0, true, 1},
      {"infrared streams", {L"--if-needed"}, true, 0, true, 0, 4, '-', inUse},
      {"never set up", {}, false, 0, true, 2, 1, 'u', notSetUp},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LinuxRig rig({Camera(0)}, {{Usb("1"), 0, 0}});
    const std::string device = rig.tree.sys("devices/pci0000:00/0000:00:14.0/usb1/1-1");
    AddUvcNodes(rig.tree, rig.io, rig.tree.AddFunction(device + "/1-1:1.0", 2),
                "usb-0000:00:14.0-1", 20, 21, nullptr);
    for (auto& entry : rig.io.nodes) entry.second.userptrErrno = row.userptrErrno;
    rig.io.nodes[rig.tree.devNode(20)].streamOwned = row.infraredStreams;
    rig.io.writesRefused = !row.powerWritable;
    rig.drivers[0]->setUpFailures[11] = row.setUpFailures;
    HeldAtEachRequest observer(rig.io.nodes[rig.tree.devNode(0)],
                               rig.io.nodes[rig.tree.devNode(20)]);
    rig.session->setRequestObserver(&observer);
    rig.session->setKeepTraceLines(true);
    EXPECT_EQ(rig.Run(row.args), row.exitCode);
    EXPECT_NE(rig.console.err.find(row.said), std::string::npos) << rig.console.err;
    if (row.exitCode == 0) {
      ExpectFlashHoldsImage(rig.Flash(0), 104, 122);
    } else {
      EXPECT_EQ(rig.Flash(0), std::vector<std::uint8_t>(65536, 0xFF));
    }
    std::size_t request = 0;
    for (const std::string& line : rig.session->traceLines()) {
      if (line.rfind("0 ", 0) != 0) continue;  // sleeps and the end
      if (line.rfind("0 SET 9 ", 0) == 0) {
        EXPECT_EQ(observer.colour[request], row.held) << line;
      }
      ++request;
    }
    EXPECT_EQ(observer.colour, observer.infrared);
    EXPECT_EQ(observer.colour.back(), row.args.empty() ? row.held : '-');
    for (const int n : {0, 20}) EXPECT_EQ(rig.io.nodes[rig.tree.devNode(n)].heldBy, -1);
    std::string power;
    ASSERT_TRUE(rig.io.readFile(device + "/power/control", power, 16));
    EXPECT_EQ(power.substr(0, 4), "auto");
  }
}

struct IdentityCase {
  const char* name;
  CameraSpec usb;
  std::uint16_t vendor, product, revision;
  std::uint8_t port;
  const char* grandparent;
};

CameraSpec UsbCamera(const std::string& controller, int bus, const std::string& devpath,
                     std::uint16_t vendor, std::uint16_t product, std::uint16_t revision,
                     std::uint8_t vc) {
  CameraSpec camera;
  camera.controller = controller;
  camera.bus = bus;
  camera.devpath = devpath;
  camera.vendor = vendor;
  camera.product = product;
  camera.revision = revision;
  camera.vcInterface = vc;
  return camera;
}

class IdentityLookup : public ::testing::TestWithParam<IdentityCase> {};

// The logic's lookup, unchanged, finds each camera's device among several.
TEST_P(IdentityLookup, FindsTheOpenedCamerasUsbDevice) {
  const IdentityCase& c = GetParam();
  // Decoys: a camera on port 1 of the same bus (a prefix of "1.4" and of
  // "10"), one on port 10, and a camera of another controller.
  LinuxRig rig({Camera(0), Camera(1), Camera(2), Camera(3)},
               {{UsbCamera("0000:00:14.0", 1, "1", 0x1111, 0x2222, 0x0001, 0), 0, 0},
                {UsbCamera("0000:00:14.0", 1, "10", 0x3333, 0x4444, 0x0002, 0), 2, 0},
                {UsbCamera("vhci_hcd.0", 3, "1", 0x5555, 0x6666, 0x0003, 0), 4, 0},
                {c.usb, 6, 0}});
  const Platform platform = rig.platform();
  CCameraDevice device(platform);
  ASSERT_EQ(device.OpenCamera(101, 3), 0);
  CAMERA_USB_INFO info{};
  ASSERT_EQ(device.GetUsbInfo(info), 0);
  EXPECT_EQ(info.vendor, c.vendor);
  EXPECT_EQ(info.product, c.product);
  EXPECT_EQ(info.revision, c.revision);
  EXPECT_EQ(info.portAddress, c.port);
  EXPECT_STREQ(info.grandparentId, c.grandparent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdentityLookup,
    ::testing::Values(IdentityCase{"BehindAHub",
                                   UsbCamera("0000:00:14.0", 1, "1.4", 0x04F2, 0xB5BD, 0x0100, 0),
                                   0x04F2, 0xB5BD, 0x0100, 4, "1-1"},
                      IdentityCase{"OnTheRootHub",
                                   UsbCamera("0000:00:14.0", 1, "2", 0x04F2, 0xB5BD, 0x1234, 0),
                                   0x04F2, 0xB5BD, 0x1234, 2, "usb1"},
                      IdentityCase{"SecondInterfaceAndUpperCaseController",
                                   UsbCamera("0000:00:1D.0", 2, "3.2.7", 0xABCD, 0xEF01, 0x9A0B, 2),
                                   0xABCD, 0xEF01, 0x9A0B, 7, "2-3.2"}),
    [](const ::testing::TestParamInfo<IdentityCase>& info) { return info.param.name; });

// REG_MULTI_SZ: each string NUL-terminated, then one more NUL.
std::string MultiSz(const std::vector<std::string>& strings) {
  std::string text;
  for (const std::string& s : strings) text += s + '\0';
  return text + '\0';
}

TEST(LinuxRegistry, OneEntryPerVideoControlInterfaceInAStableOrder) {
  LinuxRig rig({Camera(0), Camera(1)},
               {{UsbCamera("0000:00:1d.0", 2, "1.4", 0x046D, 0x0825, 0x0012, 2), 2, 0},
                {UsbCamera("0000:00:14.0", 1, "1", 0x04F2, 0xB5BD, 0x0100, 0), 0, 0}});
  // Entries that are not a camera's function: bind/module files (made by
  // the rig) and an interface without its attributes.
  FakeSysfs::Link(rig.tree.sys("bus/usb/drivers/uvcvideo/9-9:1.0"), rig.tree.sys("devices"));
  auto list = rig.registry.OpenPresentImageDevices();
  ASSERT_NE(list, nullptr);
  struct Expected {
    std::string id, parent, grandparent, hardwareIds;
    std::uint32_t address;
  };
  const Expected expected[] = {
      {"USB\\VID_04F2&PID_B5BD&MI_00\\1&usb-1-1#&0&0000", "usb-1-1", "usb1",
       MultiSz({"USB\\VID_04F2&PID_B5BD&REV_0100&MI_00", "USB\\VID_04F2&PID_B5BD&MI_00"}), 1},
      {"USB\\VID_046D&PID_0825&MI_02\\2&usb-2-1.4#&0&0000", "usb-2-1.4", "2-1",
       MultiSz({"USB\\VID_046D&PID_0825&REV_0012&MI_02", "USB\\VID_046D&PID_0825&MI_02"}), 4},
  };
  for (std::uint32_t i = 0; i < 2; ++i) {
    DevInst node = 0, parent = 0, grandparent = 0;
    std::uint32_t error = 0;
    ASSERT_TRUE(list->EnumDeviceInfo(i, node, error)) << i;
    char id[260];
    ASSERT_TRUE(list->GetDeviceId(node, id, sizeof id));
    EXPECT_EQ(std::string(id), expected[i].id);
    ASSERT_TRUE(list->GetParent(node, parent));
    ASSERT_TRUE(list->GetDeviceId(parent, id, sizeof id));
    EXPECT_EQ(std::string(id), expected[i].parent);
    ASSERT_TRUE(list->GetParent(parent, grandparent));
    ASSERT_TRUE(list->GetDeviceId(grandparent, id, sizeof id));
    EXPECT_EQ(std::string(id), expected[i].grandparent);

    std::uint32_t required = 0;
    EXPECT_FALSE(list->GetRegistryProperty(node, DeviceRegistryProperty::Address, nullptr, 0,
                                           required, error));
    EXPECT_EQ(error, win32err::InsufficientBuffer);
    ASSERT_EQ(required, 4u);
    std::uint8_t address[4];
    ASSERT_TRUE(list->GetRegistryProperty(node, DeviceRegistryProperty::Address, address, 4,
                                          required, error));
    EXPECT_EQ(address[0] | address[1] << 8 | address[2] << 16 | address[3] << 24,
              static_cast<int>(expected[i].address));
    std::uint8_t ids[128];
    ASSERT_TRUE(list->GetRegistryProperty(node, DeviceRegistryProperty::HardwareId, ids, sizeof ids,
                                          required, error));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ids), required), expected[i].hardwareIds);
  }
  DevInst node = 0;
  std::uint32_t error = 0;
  EXPECT_FALSE(list->EnumDeviceInfo(2, node, error));
  EXPECT_EQ(error, win32err::NoMoreItems);
}

}  // namespace
}  // namespace qv::testing
