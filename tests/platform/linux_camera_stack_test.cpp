// The V4L2 camera stack on a fake sysfs tree with fake device nodes: which
// nodes are video inputs and in what order, their paths, their topology,
// property requests as uvcvideo sees them, and how long a node stays open.
#include <gtest/gtest.h>

#include <map>

#include "fake_v4l2.h"
#include "platform/failure_notes.h"
#include "platform/linux/linux_camera_stack.h"

namespace qv::testing {
namespace {

using linux_host::LinuxCameraStack;

class CapturedConsole : public IConsole {
 public:
  std::string out;
  std::string err;
  void WriteWide(std::wstring_view text) override { out.append(text.begin(), text.end()); }
  void WriteNarrow(std::string_view text) override { out.append(text); }
  void WriteError(std::string_view text) override { err.append(text); }
  bool ErrorIsTerminal() override { return false; }
};

// A device with fixed control lengths that keeps what is set.
class ControlTable {
 public:
  std::map<std::uint8_t, std::vector<std::uint8_t>> values = {
      {2, {0x12, 0x34}}, {3, {0x5A}}, {11, {0x77}}, {15, std::vector<std::uint8_t>(4096, 0xEE)}};
  std::uint8_t stalls = 11;  // GET_CUR and SET_CUR of this selector stall

  UvcDevice device() {
    return [this](UvcRequest request, std::uint8_t selector, std::uint8_t* data,
                  std::uint16_t length, std::uint32_t& reported) -> HResult {
      const auto value = values.find(selector);
      if (value == values.end()) return hr::NotFound;
      if (request == UvcRequest::GetLen) {
        reported = static_cast<std::uint32_t>(value->second.size());
        return hr::Ok;
      }
      if (selector == stalls) return hr::GenFailure;
      if (request == UvcRequest::SetCur) {
        value->second.assign(data, data + length);
      } else {
        std::copy(value->second.begin(), value->second.end(), data);
      }
      return hr::Ok;
    };
  }
};

const UnitSpec kUnitA{4, XU_GUID_PRIMARY};
const UnitSpec kUnitB{6, XU_GUID_SECONDARY, {0x07}, 3};

// Cameras and assorted other nodes:
//   video2/3   camera A (two units), capture and metadata
//   video5/6   camera C, no permission on either node
//   video7     a node without a device
//   video8     a capture node of a platform driver (as vivid's, or a camera
//              image processor's)
//   video9     a node that cannot be opened and is not the first of its device
//   video10/11 camera B (on interface 2, behind a hub)
//   video12    a platform driver's capture node without permission
//   video13/14 a USB video function bound to another driver
//   video15/16 a uvcvideo camera whose nodes open another device than sysfs
//              enumerated (a container's /dev)
//   radio0, v4l-subdev0: other kinds of node
class V4l2System : public ::testing::Test {
 protected:
  void SetUp() override {
    CameraSpec specA;
    specA.units = {kUnitA, kUnitB};
    const std::string a = tree.AddCamera(specA);
    AddUvcNodes(tree, io, a, "usb-0000:00:14.0-1", 2, 3, &uvcA);

    CameraSpec specC;
    specC.controller = "vhci_hcd.0";
    specC.bus = 3;
    specC.devpath = "2";
    const std::string c = tree.AddCamera(specC);
    AddUvcNodes(tree, io, c, "usb-vhci_hcd.0-2", 5, 6, nullptr);
    io.nodes[tree.devNode(5)].openErrno = EACCES;
    io.nodes[tree.devNode(6)].openErrno = EACCES;

    CameraSpec specB;
    specB.controller = "0000:00:1D.0";
    specB.bus = 2;
    specB.devpath = "1.4";
    specB.vcInterface = 2;
    const std::string b = tree.AddCamera(specB);
    AddUvcNodes(tree, io, b, "usb-0000:00:1D.0-1.4", 10, 11, &uvcB);

    const std::string virt = tree.sys("devices/virtual/video4linux");
    for (int n : {7, 9}) {
      tree.AddVideoNode(virt, n, n == 9 ? 1 : 0);
      std::filesystem::remove(virt + "/video" + std::to_string(n) + "/device");
    }
    io.nodes[tree.devNode(7)].queryCapErrno = ENOTTY;
    io.nodes[tree.devNode(9)].openErrno = EIO;
    const std::string platform = tree.sys("devices/platform/vivid.0");
    FakeSysfs::Write(platform + "/modalias", "platform:vivid\n");
    tree.AddVideoNode(platform, 8, 0);
    tree.AddVideoNode(platform, 12, 0);
    io.nodes[tree.devNode(8)].busInfo = "platform:vivid-000";
    io.nodes[tree.devNode(8)].rdev = "81:8";
    io.nodes[tree.devNode(12)].openErrno = EACCES;

    CameraSpec specD;
    specD.bus = 4;
    specD.driver = "usbfs";
    AddUvcNodes(tree, io, tree.AddCamera(specD), "usb-0000:00:14.0-1", 13, 14, nullptr);
    CameraSpec specE;
    specE.bus = 5;
    AddUvcNodes(tree, io, tree.AddCamera(specE), "usb-0000:00:14.0-1", 15, 16, nullptr);
    io.nodes[tree.devNode(15)].rdev = "189:3";
    io.nodes[tree.devNode(16)].rdev = "189:4";
    FakeSysfs::Write(tree.sys("class/video4linux/radio0/index"), "0\n");
    FakeSysfs::Write(tree.sys("class/video4linux/v4l-subdev0/index"), "0\n");
  }

  // The paths of the video inputs, in enumeration order.
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    std::unique_ptr<IMonikerEnum> monikers;
    if (stack.CreateVideoInputEnum(monikers) != hr::Ok) return paths;
    monikers->Reset();
    for (std::unique_ptr<IDeviceMoniker> moniker; monikers->Next(moniker) == hr::Ok;) {
      std::unique_ptr<IPropertyBag> bag;
      EXPECT_EQ(moniker->BindToStorage(bag), hr::Ok);
      char path[260] = {};
      EXPECT_EQ(bag->ReadDevicePath(path, 256), hr::Ok);
      paths.push_back(path);
    }
    return paths;
  }

  // The moniker of the video input whose node is /dev/video<number>.
  std::unique_ptr<IDeviceMoniker> Moniker(int number) {
    std::unique_ptr<IMonikerEnum> monikers;
    EXPECT_EQ(stack.CreateVideoInputEnum(monikers), hr::Ok);
    for (std::unique_ptr<IDeviceMoniker> moniker; monikers->Next(moniker) == hr::Ok;) {
      std::unique_ptr<IPropertyBag> bag;
      char path[260] = {};
      moniker->BindToStorage(bag);
      bag->ReadDevicePath(path, 256);
      const std::string text = path;
      if (text.size() >= tree.devNode(number).size() &&
          text.compare(text.size() - tree.devNode(number).size(), std::string::npos,
                       tree.devNode(number)) == 0) {
        return moniker;
      }
    }
    return nullptr;
  }

  struct Bound {
    std::unique_ptr<ICaptureFilter> filter;
    std::unique_ptr<IKsControl> control;
    std::unique_ptr<IKsTopologyInfo> topology;
  };
  Bound Bind(int number) {
    Bound bound;
    auto moniker = Moniker(number);
    EXPECT_NE(moniker, nullptr);
    if (moniker == nullptr) return bound;
    EXPECT_EQ(moniker->BindToObject(bound.filter), hr::Ok);
    if (bound.filter == nullptr) return bound;
    EXPECT_EQ(bound.filter->QueryKsControl(bound.control), hr::Ok);
    EXPECT_EQ(bound.filter->QueryTopology(bound.topology), hr::Ok);
    return bound;
  }

  FakeSysfs tree;
  FakeKernelIo io;
  CapturedConsole console;
  ControlTable deviceA;
  ControlTable deviceB;
  UvcDriverFake uvcA{{kUnitA, kUnitB}, deviceA.device()};
  UvcDriverFake uvcB{{UnitSpec{}}, deviceB.device()};
  LinuxCameraStack stack{io, tree.roots(), console};
};

TEST_F(V4l2System, ListsUvcCaptureNodesByNumberWithInstanceIdPaths) {
  EXPECT_EQ(Paths(), (std::vector<std::string>{
                         "v4l:usb#vid_04f2&pid_b5bd&mi_00#1&usb-1-1#&0&0000#" + tree.devNode(2),
                         // judged by sysfs
                         "v4l:usb#vid_04f2&pid_b5bd&mi_00#3&usb-3-2#&0&0000#" + tree.devNode(5),
                         "v4l:usb#vid_04f2&pid_b5bd&mi_02#2&usb-2-1.4#&0&0000#" + tree.devNode(10),
                     }));
  // Nodes that are no uvcvideo camera's are never opened, so they cost no
  // settle wait and say nothing; the camera whose node opens another device
  // is opened only to find that out.
  for (int other : {7, 8, 9, 12, 13, 14}) {
    EXPECT_EQ(std::count(io.opened.begin(), io.opened.end(), tree.devNode(other)), 0) << other;
  }
  EXPECT_EQ(std::count(io.opened.begin(), io.opened.end(), tree.devNode(15)), 1);
  // Every node opened for the look was closed again.
  EXPECT_TRUE(io.openFds.empty());
  EXPECT_EQ(io.badCloses, 0);
  EXPECT_TRUE(console.err.empty());
}

TEST_F(V4l2System, NodeThatChangedHandsSinceTheWalkDoesNotBind) {
  auto moniker = Moniker(2);
  ASSERT_NE(moniker, nullptr);
  io.nodes[tree.devNode(2)].rdev = "81:40";  // the number now belongs to another device
  std::unique_ptr<ICaptureFilter> filter;
  EXPECT_EQ(static_cast<std::uint32_t>(moniker->BindToObject(filter)), 0x8007048Fu);
  EXPECT_EQ(filter, nullptr);
  EXPECT_TRUE(io.openFds.empty());
  EXPECT_TRUE(uvcA.log.empty());
}

TEST_F(V4l2System, TopologyIsTheActiveConfigurations) {
  // A camera whose first configuration is vendor-specific and whose video
  // function is in its second, the active one.
  auto descriptors = UvcDescriptors(0, {UnitSpec{4, XU_GUID_PRIMARY}, UnitSpec{6}});
  descriptors[18 + 5] = 2;
  const std::vector<std::uint8_t> vendor = {9, 2, 18, 0, 1, 1,    0, 0x80, 50,
                                            9, 4, 0,  0, 0, 0xFF, 0, 0,    0};
  descriptors.insert(descriptors.begin() + 18, vendor.begin(), vendor.end());
  CameraSpec camera;
  camera.bus = 6;
  camera.configuration = 2;
  camera.descriptors = descriptors;
  AddUvcNodes(tree, io, tree.AddCamera(camera), "usb-0000:00:14.0-1", 20, 21, nullptr);
  Bound bound = Bind(20);
  ASSERT_NE(bound.topology, nullptr);
  std::uint32_t count = 0;
  ASSERT_EQ(bound.topology->get_NumNodes(&count), hr::Ok);
  EXPECT_EQ(count, 2u);
}

// An empty category, and the run's note of why: no video4linux at all,
// uvcvideo not loaded, or loaded without a camera.
TEST(V4l2Empty, NoNodesIsAnEmptyCategoryWithTheReasonNoted) {
  FakeSysfs tree;
  FakeKernelIo io;
  CapturedConsole console;
  LinuxCameraStack stack{io, tree.roots(), console};
  auto reason = [&] {
    runNotes().clear();
    std::unique_ptr<IMonikerEnum> monikers;
    EXPECT_EQ(stack.CreateVideoInputEnum(monikers), hr::False);
    EXPECT_EQ(monikers, nullptr);
    EXPECT_EQ(runNotes().notes().size(), 1u);
    return runNotes().notes().empty() ? std::string() : runNotes().notes()[0].detail;
  };
  EXPECT_EQ(reason(), "no video4linux device on this system");
  const std::string platform = tree.sys("devices/platform/vivid.0");
  tree.AddVideoNode(platform, 0, 0);
  EXPECT_EQ(reason(), "the uvcvideo driver is not loaded (modprobe uvcvideo)");
  std::filesystem::create_directories(tree.sys("bus/usb/drivers/uvcvideo"));
  EXPECT_EQ(reason(), "no capture node of a USB camera bound to uvcvideo");
  EXPECT_TRUE(console.err.empty());
  runNotes().clear();
}

// sysfs shows the camera, /dev has no node: a container or WSL without the
// device. Binding fails and the run notes which node is missing.
TEST_F(V4l2System, MissingNodeIsNotedForTheRun) {
  io.nodes.erase(tree.devNode(2));
  std::filesystem::remove(tree.devNode(2));
  auto moniker = Moniker(2);
  ASSERT_NE(moniker, nullptr);
  runNotes().clear();
  std::unique_ptr<ICaptureFilter> filter;
  EXPECT_EQ(static_cast<std::uint32_t>(moniker->BindToObject(filter)), 0x80070490u);
  ASSERT_TRUE(runNotes().has(FailureKind::CameraNotOpened));
  EXPECT_NE(runNotes().notes()[0].detail.find(tree.devNode(2) + " is missing"), std::string::npos);
  runNotes().clear();
}

TEST_F(V4l2System, NodeWithoutPermissionFailsToBindAndSaysSoOnce) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto moniker = Moniker(5);
    ASSERT_NE(moniker, nullptr);
    std::unique_ptr<ICaptureFilter> filter;
    EXPECT_EQ(static_cast<std::uint32_t>(moniker->BindToObject(filter)), 0x80070005u);
    EXPECT_EQ(filter, nullptr);
  }
  EXPECT_TRUE(console.out.empty());
  ASSERT_FALSE(console.err.empty());
  EXPECT_EQ(console.err.back(), '\n');
  EXPECT_EQ(std::count(console.err.begin(), console.err.end(), '\n'), 1);
  EXPECT_NE(console.err.find(tree.devNode(5)), std::string::npos);
  EXPECT_NE(console.err.find("\"video\" group"), std::string::npos);
}

TEST_F(V4l2System, TopologyIsTheExtensionUnitsOfTheNodesInterface) {
  Bound a = Bind(2);
  ASSERT_NE(a.topology, nullptr);
  std::uint32_t count = 0;
  ASSERT_EQ(a.topology->get_NumNodes(&count), hr::Ok);
  EXPECT_EQ(count, 2u);
  Guid type{};
  for (std::uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(a.topology->get_NodeType(i, &type), hr::Ok);
    EXPECT_EQ(type, kKsNodeTypeDevSpecific);
  }
  EXPECT_TRUE(failed(a.topology->get_NodeType(2, &type)));
  std::unique_ptr<IVendorXuAccess> vendor;
  EXPECT_EQ(a.filter->QueryVendorXuAccess(vendor), hr::NoInterface);
  EXPECT_EQ(vendor, nullptr);

  Bound b = Bind(10);  // one unit, on interface 2
  ASSERT_NE(b.topology, nullptr);
  ASSERT_EQ(b.topology->get_NumNodes(&count), hr::Ok);
  EXPECT_EQ(count, 1u);

  // Descriptors that cannot be read: no node, so the search finds nothing.
  std::filesystem::remove(tree.sys("devices/pci0000:00/0000:00:1D.0/usb2/2-1/2-1.4/descriptors"));
  Bound none = Bind(10);
  ASSERT_NE(none.topology, nullptr);
  ASSERT_EQ(none.topology->get_NumNodes(&count), hr::Ok);
  EXPECT_EQ(count, 0u);
}

struct PropertyCase {
  const char* name;
  std::uint32_t node;
  Guid set;
  std::uint32_t selector;
  std::uint32_t flags;
  std::uint32_t length;
  bool nullData;
  std::uint32_t expected;       // HRESULT
  std::uint32_t bytesReturned;  // when it succeeded or asked for more data
  const char* query;            // what reached uvcvideo, "" for nothing
};

constexpr std::uint32_t kGet = kKsPropertyTypeGet | kKsPropertyTypeTopology;
constexpr std::uint32_t kSet = kKsPropertyTypeSet | kKsPropertyTypeTopology;
constexpr std::uint32_t kAccess = kKsPropertyTypeBasicSupport | kKsPropertyTypeTopology;

class PropertyRequests : public V4l2System, public ::testing::WithParamInterface<PropertyCase> {};

TEST_P(PropertyRequests, GoToTheNodesUnitAsUvcvideoQueries) {
  const PropertyCase& c = GetParam();
  Bound a = Bind(2);
  ASSERT_NE(a.control, nullptr);
  uvcA.log.clear();
  KSP_NODE property{{c.set, c.selector, c.flags}, c.node, 0};
  std::vector<std::uint8_t> data(c.length, 0x5A);
  std::uint32_t returned = 0xDEAD;
  const HResult result = a.control->KsProperty(
      &property, sizeof property, c.nullData ? nullptr : data.data(), c.length, &returned);
  EXPECT_EQ(static_cast<std::uint32_t>(result), c.expected);
  if (succeeded(result) || result == hr::MoreData) {
    EXPECT_EQ(returned, c.bytesReturned);
  }
  EXPECT_EQ(uvcA.log, std::string(c.query).empty() ? std::vector<std::string>{}
                                                   : std::vector<std::string>{c.query});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PropertyRequests,
    ::testing::Values(
        PropertyCase{"GetOnTheFirstUnit", 0, XU_GUID_PRIMARY, 2, kGet, 2, false, 0, 2, "4 2 129 2"},
        PropertyCase{"GetOnTheSecondUnit", 1, XU_GUID_SECONDARY, 2, kGet, 2, false, 0, 2,
                     "6 2 129 2"},
        PropertyCase{"OtherSetOnTheFirstUnit", 0, XU_GUID_SECONDARY, 2, kGet, 2, false, 0x80070492,
                     0, ""},
        PropertyCase{"OtherSetOnTheSecondUnit", 1, XU_GUID_PRIMARY, 2, kGet, 2, false, 0x80070492,
                     0, ""},
        PropertyCase{"GetLength", 0, XU_GUID_PRIMARY, 15, kGet, 0, true, 0x800700EA, 4096,
                     "4 15 133 2"},
        PropertyCase{"Set", 0, XU_GUID_PRIMARY, 3, kSet, 1, false, 0, 0, "4 3 1 1"},
        PropertyCase{"SetOfAnotherLength", 0, XU_GUID_PRIMARY, 15, kSet, 64, false, 0x8007007A, 0,
                     "4 15 1 64"},
        PropertyCase{"GetOfAnotherLength", 0, XU_GUID_PRIMARY, 3, kGet, 2, false, 0x8007007A, 0,
                     "4 3 129 2"},
        PropertyCase{"SelectorTheUnitLacks", 1, XU_GUID_SECONDARY, 4, kGet, 1, false, 0x80070490, 0,
                     "6 4 129 1"},
        PropertyCase{"StalledControl", 0, XU_GUID_PRIMARY, 11, kGet, 1, false, 0x8007001F, 0,
                     "4 11 129 1"},
        PropertyCase{"NodeBeyondTheTopology", 2, XU_GUID_PRIMARY, 2, kGet, 2, false, 0x80070490, 0,
                     ""},
        PropertyCase{"NeitherGetNorSet", 0, XU_GUID_PRIMARY, 2, kKsPropertyTypeTopology, 2, false,
                     0x80070057, 0, ""},
        PropertyCase{"NoBufferForData", 0, XU_GUID_PRIMARY, 2, kGet, 2, true, 0x80004003, 0, ""},
        PropertyCase{"MoreThanAControlCarries", 0, XU_GUID_PRIMARY, 15, kSet, 0x10000, false,
                     0x80070057, 0, ""},
        PropertyCase{"SelectorBeyondAByte", 0, XU_GUID_PRIMARY, 0x102, kGet, 2, false, 0x80070490,
                     0, ""},
        PropertyCase{"AccessIsTheControlsGetInfo", 0, XU_GUID_PRIMARY, 3, kAccess, 4, false, 0, 4,
                     "4 3 134 1"},
        PropertyCase{"AccessOfASelectorTheUnitLacks", 1, XU_GUID_SECONDARY, 4, kAccess, 4, false,
                     0x80070490, 0, ""}),
    [](const ::testing::TestParamInfo<PropertyCase>& info) { return info.param.name; });

TEST_F(V4l2System, RequestsCarryTheDataBothWays) {
  Bound a = Bind(2);
  ASSERT_NE(a.control, nullptr);
  KSP_NODE property{{XU_GUID_PRIMARY, 2, kSet}, 0, 0};
  std::uint8_t bytes[2] = {0xFF, 0x20};
  std::uint32_t returned = 0;
  ASSERT_EQ(a.control->KsProperty(&property, sizeof property, bytes, 2, &returned), hr::Ok);
  EXPECT_EQ(deviceA.values[2], (std::vector<std::uint8_t>{0xFF, 0x20}));
  deviceA.values[2] = {0xAB, 0xCD};
  property.Property.Flags = kGet;
  ASSERT_EQ(a.control->KsProperty(&property, sizeof property, bytes, 2, &returned), hr::Ok);
  EXPECT_EQ(bytes[0], 0xAB);
  EXPECT_EQ(bytes[1], 0xCD);
  EXPECT_EQ(returned, 2u);
}

TEST_F(V4l2System, ControlAccessFollowsGetInfosBits) {
  // uvcvideo refuses a GET_CUR or SET_CUR the control's GET_INFO does not
  // allow (EBADRQC): the access told is what it allows.
  Bound a = Bind(2);
  ASSERT_NE(a.control, nullptr);
  const std::pair<std::uint8_t, std::uint32_t> cases[] = {
      {0x03, kKsPropertyTypeGet | kKsPropertyTypeSet},
      {0x01, kKsPropertyTypeGet},
      {0x02, kKsPropertyTypeSet},
  };
  for (const auto& [bits, access] : cases) {
    uvcA.info[3] = bits;
    KSP_NODE property{{XU_GUID_PRIMARY, 3, kAccess}, 0, 0};
    std::uint32_t flags = 0xFFFF;
    std::uint32_t returned = 0;
    ASSERT_EQ(a.control->KsProperty(&property, sizeof property, &flags, sizeof flags, &returned),
              hr::Ok);
    EXPECT_EQ(flags, access) << int{bits};
  }
}

// Each failed query's errno is kept for the run's reason too (every errno's
// mapping and name is the errno table's own test).
TEST_F(V4l2System, DriverErrorsReachTheLogicMapped) {
  Bound a = Bind(2);
  ASSERT_NE(a.control, nullptr);
  struct Row {
    int error;
    std::uint32_t expected;
    std::string_view name;
  };
  for (const Row& row : {Row{ENODEV, 0x8007048F, "ENODEV"}, Row{ETIMEDOUT, 0x80070079, "ETIMEDOUT"},
                         Row{EBADRQC, 0x80070001, "EBADRQC"}}) {
    SCOPED_TRACE(row.error);
    uvcA.forcedErrno = row.error;
    KSP_NODE property{{XU_GUID_PRIMARY, 3, kSet}, 0, 0};
    std::uint8_t byte = 0;
    std::uint32_t returned = 0;
    EXPECT_EQ(static_cast<std::uint32_t>(
                  a.control->KsProperty(&property, sizeof property, &byte, 1, &returned)),
              row.expected);
    property.Property.Flags = kGet;
    runNotes().clear();
    EXPECT_EQ(static_cast<std::uint32_t>(
                  a.control->KsProperty(&property, sizeof property, nullptr, 0, &returned)),
              row.expected);  // a failed GET-LENGTH is not ERROR_MORE_DATA
    const std::optional<SystemError> error = runNotes().takeSystemError();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, row.error);
    EXPECT_EQ(error->name, row.name);
  }
}

// The pin properties that tell whether another program streams from the
// camera: one capture pin, whose instance count is uvcvideo's stream
// ownership. None reaches the extension unit.
struct PinCase {
  const char* name;
  std::uint32_t id;
  std::uint32_t pin;
  std::uint32_t length;
  bool owned;        // another handle owns the stream
  int reqbufsErrno;  // REQBUFS fails with this
  std::uint32_t expected;
  std::vector<std::uint8_t> answer;  // the bytes returned
  std::uint32_t flags = kKsPropertyTypeGet;
};

const std::vector<std::uint8_t> kCaptureCategory = [] {
  std::vector<std::uint8_t> bytes(sizeof(Guid));
  std::memcpy(bytes.data(), &kPinNameVideoCapture, sizeof(Guid));
  return bytes;
}();

class PinProperties : public V4l2System, public ::testing::WithParamInterface<PinCase> {};

TEST_P(PinProperties, AnswerAsACaptureFilterWithOnePin) {
  const PinCase& c = GetParam();
  Bound a = Bind(2);
  ASSERT_NE(a.control, nullptr);
  FakeNode& node = io.nodes[tree.devNode(2)];
  node.streamOwned = c.owned;
  node.reqbufsErrno = c.reqbufsErrno;
  runNotes().clear();
  KSP_NODE property{{kKsPropSetIdPin, c.id, c.flags}, c.pin, 0};
  std::vector<std::uint8_t> data(c.length, 0xEE);
  std::uint32_t returned = 0;
  EXPECT_EQ(static_cast<std::uint32_t>(a.control->KsProperty(&property, sizeof property,
                                                             data.data(), c.length, &returned)),
            c.expected);
  if (c.expected == 0) {
    ASSERT_EQ(returned, c.answer.size());
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + returned), c.answer);
  }
  // Only the instance count asks the driver: REQBUFS with count 0, capture
  // type, memory mapped buffers, which allocates nothing.
  EXPECT_EQ(node.reqbufsCalls, c.id == kKsPropertyPinGlobalCInstances && c.pin == 0 &&
                                       c.flags == kKsPropertyTypeGet && c.length >= 8
                                   ? 1
                                   : 0);
  EXPECT_EQ(node.reqbufsOther, 0);
  EXPECT_TRUE(uvcA.log.empty());
  // A failed REQBUFS leaves its errno for the run's reason.
  const std::optional<SystemError> error = runNotes().takeSystemError();
  EXPECT_EQ(error ? error->code : 0, node.reqbufsCalls == 1 ? c.reqbufsErrno : 0);
}

constexpr std::uint32_t kCTypes = kKsPropertyPinCTypes;
constexpr std::uint32_t kCategory = kKsPropertyPinCategory;
constexpr std::uint32_t kInstances = kKsPropertyPinGlobalCInstances;

// A failing REQBUFS is one branch whatever its errno (each errno's mapping is
// checked on the extension-unit requests); pin 1 and a SET are each refused.
INSTANTIATE_TEST_SUITE_P(
    Cases, PinProperties,
    ::testing::Values(
        PinCase{"OnePinFactory", kCTypes, 0, 4, false, 0, 0, {1, 0, 0, 0}},
        PinCase{"CaptureCategory", kCategory, 0, 16, false, 0, 0, kCaptureCategory},
        PinCase{"NobodyStreams", kInstances, 0, 8, false, 0, 0, {1, 0, 0, 0, 0, 0, 0, 0}},
        PinCase{"AnotherProgramStreams", kInstances, 0, 8, true, 0, 0, {1, 0, 0, 0, 1, 0, 0, 0}},
        PinCase{"DriverCannotTell", kInstances, 0, 8, false, ENOTTY, 0x80070032, {}},
        PinCase{"NoSecondPinsInstances", kInstances, 1, 8, true, 0, 0x80070490, {}},
        PinCase{"OtherPinProperty", 2, 0, 16, false, 0, 0x80070490, {}},
        PinCase{
            "SetIsNotSupported", kInstances, 0, 8, false, 0, 0x80070490, {}, kKsPropertyTypeSet},
        PinCase{"BufferTooSmall", kInstances, 0, 4, true, 0, 0x8007007A, {}}),
    [](const ::testing::TestParamInfo<PinCase>& info) { return info.param.name; });

// A GET_CUR the camera answered short: 6.1 passes the byte count back and
// leaves the buffer's rest stale. It fails as a stalled request does.
TEST_F(V4l2System, ShortReplyIsAFailedRequest) {
  Bound a = Bind(2);
  ASSERT_NE(a.control, nullptr);
  uvcA.shortGetCur = 1;
  KSP_NODE property{{XU_GUID_PRIMARY, 2, kGet}, 0, 0};
  std::uint8_t bytes[2] = {};
  std::uint32_t returned = 0;
  runNotes().clear();
  EXPECT_EQ(a.control->KsProperty(&property, sizeof property, bytes, 2, &returned), hr::GenFailure);
  EXPECT_FALSE(runNotes().takeSystemError().has_value());  // no system call failed
  uvcA.shortGetCur.reset();
  EXPECT_EQ(a.control->KsProperty(&property, sizeof property, bytes, 2, &returned), hr::Ok);
}

TEST_F(V4l2System, TheNodeStaysOpenWhileAnInterfaceOfItLives) {
  Bound a = Bind(2);
  ASSERT_NE(a.control, nullptr);
  EXPECT_EQ(io.openFds.size(), 1u);
  a.filter.reset();
  a.topology.reset();
  EXPECT_EQ(io.openFds.size(), 1u);  // the KS control still uses it
  KSP_NODE property{{XU_GUID_PRIMARY, 3, kGet}, 0, 0};
  std::uint8_t byte = 0;
  std::uint32_t returned = 0;
  EXPECT_EQ(a.control->KsProperty(&property, sizeof property, &byte, 1, &returned), hr::Ok);
  a.control.reset();
  EXPECT_TRUE(io.openFds.empty());
  EXPECT_EQ(io.badCloses, 0);
}

}  // namespace
}  // namespace qv::testing

namespace qv::linux_host {
namespace {

// The real side of the seam on ordinary files: what open and ioctl report
// and that a descriptor is closed exactly once.
TEST(SystemKernelIo, OpensClosesAndReportsErrnos) {
  testing::TempDir dir;
  testing::FakeSysfs::Write(dir.file("node"), "");
  SystemKernelIo io;
  int error = -1;
  {
    UniqueFd fd(io, io.openDevice(dir.file("node"), error));
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(error, 0);
    v4l2_capability caps{};
    EXPECT_EQ(io.ioctl(fd.get(), VIDIOC_QUERYCAP, &caps), ENOTTY);  // not a V4L2 node
    UniqueFd moved = std::move(fd);
    EXPECT_FALSE(fd.valid());
    EXPECT_TRUE(moved.valid());
  }
  EXPECT_EQ(io.openDevice(dir.file("missing"), error), -1);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(io.ioctl(-1, VIDIOC_QUERYCAP, nullptr), EBADF);
  std::string contents;
  EXPECT_FALSE(io.readFile(dir.file("missing"), contents, 16));
  testing::FakeSysfs::Write(dir.file("long"), std::string(100, 'x'));
  ASSERT_TRUE(io.readFile(dir.file("long"), contents, 16));
  EXPECT_EQ(contents, std::string(16, 'x'));
}

}  // namespace
}  // namespace qv::linux_host
