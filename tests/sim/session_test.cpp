// The session: scene files and their errors, the trace file, flash files,
// the clock, object counts and the Image-class registry.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim_host.h"

namespace qv::sim::test {
namespace {

namespace fs = std::filesystem;

std::string sceneError(const std::string& text) {
  std::string error;
  auto session = SimSession::OpenText(text, "", "scene.json", error);
  EXPECT_EQ(session, nullptr) << text;
  return error;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

class SimSessionFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::path(::testing::TempDir()) /
        ("qv_sim_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST(SimScene, ErrorsNameTheFileAndTheProblem) {
  EXPECT_EQ(sceneError(oneCamera(R"("flash": "XY25")")),
            "scene.json: cameras[0].flash: unknown part \"XY25\"");
  EXPECT_EQ(sceneError(R"({"colour": 1})"), "scene.json: colour: unknown key");
  EXPECT_EQ(sceneError(oneCamera(R"("chipid": 1)")), "scene.json: cameras[0].chipid: unknown key");
  EXPECT_EQ(sceneError(oneCamera(R"("chip_id": "0x8A")")),
            "scene.json: cameras[0].chip_id: expected an integer");
  EXPECT_EQ(sceneError(oneCamera(R"("chip_id": 256)")),
            "scene.json: cameras[0].chip_id: must be from 0 to 255");
  EXPECT_EQ(sceneError(R"({"cameras": [{"route": "ks"}]})"),
            "scene.json: cameras[0].device_path: missing");
  EXPECT_EQ(sceneError(oneCamera(R"("route": "usb")")),
            "scene.json: cameras[0].route: unknown route \"usb\" (ks, private, both or none)");
  EXPECT_EQ(sceneError(oneCamera(R"("nodes": ["xu", "pu"])")),
            "scene.json: cameras[0].nodes[1]: unknown node type \"pu\" (xu or other)");
  EXPECT_EQ(sceneError(oneCamera(R"("flash_size": 5000)")),
            "scene.json: cameras[0].flash_size: must be a multiple of 4096");
  EXPECT_EQ(sceneError(oneCamera(R"("faults": [{"request": 0, "result": "0x80004005"}])")),
            "scene.json: cameras[0].faults[0].request: must be from 1 to 4294967295");
  EXPECT_EQ(sceneError(oneCamera(R"("faults": [{"request": 3, "result": "E_FAIL"}])")),
            "scene.json: cameras[0].faults[0].result: expected an HRESULT such as \"0x8007001F\"");
  EXPECT_EQ(sceneError(oneCamera(R"("faults": [{"wip": "slow"}])")),
            "scene.json: cameras[0].faults[0].wip: must be \"stuck\"");
  EXPECT_EQ(sceneError(oneCamera(R"("faults": [{"unplug_after": 3, "count": 1}])")),
            "scene.json: cameras[0].faults[0].count: unknown key");
  EXPECT_EQ(
      sceneError(oneCamera(R"("flash": {"rems": [1, 2, 3], "res": [1, 2], "rdid": [1, 2, 3]})")),
      "scene.json: cameras[0].flash.res: expected three bytes");
  EXPECT_EQ(sceneError(R"({"clock": "fast"})"),
            "scene.json: clock: must be \"virtual\" or \"real\"");
  EXPECT_EQ(sceneError(R"({"image_devices": [{"instance_id": "x", "address": "1"}]})"),
            "scene.json: image_devices[0].address: expected an integer");
  EXPECT_EQ(sceneError(R"({"image_devices": [{"instance_id": "x", "parent": 0}]})"),
            "scene.json: image_devices[0].parent: must be from 1 to 4294967295");
  EXPECT_EQ(sceneError(oneCamera(R"("infrared_path": 2)")),
            "scene.json: cameras[0].infrared_path: expected a text");
  EXPECT_EQ(sceneError(R"({"cameras": [{"device_path": "a", "flash_file": "f.bin"},
                                       {"device_path": "b", "flash_file": "f.bin"}]})"),
            "scene.json: cameras[1].flash_file: used by another camera");
  EXPECT_EQ(sceneError("[1, 2]"), "scene.json: scene: expected an object");
  EXPECT_EQ(sceneError(R"({"trace": "/nonexistent-folder/trace.txt"})"),
            "scene.json: trace: folder /nonexistent-folder does not exist");
  EXPECT_EQ(sceneError(oneCamera(R"("flash_file": "/nonexistent-folder/f.bin")")),
            "scene.json: cameras[0].flash_file: folder /nonexistent-folder does not exist");
  // Text that is not JSON, and a number beyond the range of a double.
  for (const char* text : {R"({"cameras": [)", R"({"cameras": [{"chip_id": 1e999}]})"}) {
    const std::string json = sceneError(text);
    EXPECT_EQ(json.rfind("scene.json: not valid JSON: ", 0), 0u) << json;
    EXPECT_EQ(json.find('\n'), std::string::npos);
  }
}

TEST(SimScene, DefaultsAndValues) {
  auto session = openScene(R"({"cameras": [{"device_path": "p"},
      {"device_path": "q", "chip_id": 96, "flash": "EN25F40", "flash_size": 131072,
       "status_register": 0, "faults": [{"request": 5, "result": 2147942431}]}]})");
  const CameraModel& a = session->camera(0);
  EXPECT_EQ(a.config().route, Route::Ks);
  EXPECT_EQ(a.config().nodes, std::vector<bool>{true});
  EXPECT_FALSE(a.config().secondaryGuid);
  EXPECT_EQ(a.peekRegister(kRegChipId), 0x8A);
  EXPECT_EQ(a.family(), 104);
  EXPECT_EQ(a.config().part.name, "GD25Q512");
  EXPECT_EQ(a.flash().size(), 65536u);
  EXPECT_EQ(a.statusRegister(), 0x0C);
  EXPECT_EQ(a.config().dfuBlockLength, 4096u);
  EXPECT_EQ(a.config().readBlockLength, 4096u);
  const CameraModel& b = session->camera(1);
  EXPECT_EQ(b.family(), 102);
  EXPECT_EQ(b.config().part.code, 143);
  EXPECT_EQ(b.flash().size(), 131072u);
  EXPECT_EQ(b.statusRegister(), 0x00);
  EXPECT_EQ(static_cast<std::uint32_t>(b.config().faults[0].result), 0x8007001Fu);
}

TEST(SimScene, ChipFamiliesFollowTheHighNibble) {
  const std::pair<std::uint8_t, std::uint8_t> rows[] = {
      {0x6A, 102}, {0x95, 103}, {0x80, 104}, {0xA0, 105}, {0xB3, 106},
      {0xC0, 107}, {0xDF, 108}, {0x70, 100}, {0x5F, 100}, {0xE0, 100}};
  for (const auto& [id, family] : rows) EXPECT_EQ(chipFamilyOf(id), family) << int(id);
}

TEST_F(SimSessionFiles, UnreadableFilesAreRefused) {
  std::string error;
  EXPECT_EQ(SimSession::Open((dir_ / "missing.json").string(), error), nullptr);
  EXPECT_EQ(error, (dir_ / "missing.json").string() + ": cannot read the scene file");
  writeBytes(dir_ / "big.bin", std::vector<std::uint8_t>(70000, 0));
  std::ofstream(dir_ / "s.json")
      << R"({"cameras": [{"device_path": "p", "flash_file": "big.bin"}]})";
  EXPECT_EQ(SimSession::Open((dir_ / "s.json").string(), error), nullptr);
  EXPECT_EQ(error, (dir_ / "s.json").string() + ": cameras[0].flash_file: flash file " +
                       (dir_ / "big.bin").string() +
                       " holds 70000 bytes, more than flash_size 65536");
}

TEST_F(SimSessionFiles, TraceIsReplacedOnFirstUseAndEndsOnFinish) {
  const fs::path trace = dir_ / "trace.txt";
  std::ofstream(trace) << "old\n";
  std::ofstream(dir_ / "s.json") << R"({"trace": "trace.txt", "cameras": [{"device_path": "p"}]})";
  std::string error;
  {
    auto session = SimSession::Open((dir_ / "s.json").string(), error);
    ASSERT_NE(session, nullptr) << error;
    session->clock().Sleep(5);
    EXPECT_EQ(readText(trace), "old\n") << "no camera use yet";
  }
  EXPECT_EQ(readText(trace), "old\n") << "a run that never used the cameras";
  {
    auto session = SimSession::Open((dir_ / "s.json").string(), error);
    ASSERT_NE(session, nullptr) << error;
    session->clock().Sleep(5);
    {
      Host host(*session);
      host.set(2, {0xFF, 0x20});
      std::vector<std::uint8_t> out;
      host.get(3, 1, out);
    }
    EXPECT_EQ(readText(trace), "SLEEP 5\n0 SET 2 FF 20\n0 GET 3 1 8A\n");
    session->Finish();
    session->Finish();
    EXPECT_TRUE(session->filesOk());
  }
  // 5 ms of sleep and two requests of 250 us plus 62.5 ns per data byte.
  EXPECT_EQ(readText(trace), "SLEEP 5\n0 SET 2 FF 20\n0 GET 3 1 8A\nEND 5500\n");
  {
    auto session = SimSession::Open((dir_ / "s.json").string(), error);
    session->registry().OpenPresentImageDevices();
  }
  EXPECT_EQ(readText(trace), "") << "replaced, and no END without Finish";
}

TEST_F(SimSessionFiles, FlashFileIsReadAndWrittenBack) {
  std::vector<std::uint8_t> contents(4096, 0x00);
  contents[0] = 0x12;
  writeBytes(dir_ / "flash.bin", contents);
  std::ofstream(dir_ / "s.json")
      << R"({"cameras": [{"device_path": "p", "flash_file": "flash.bin", "status_register": 0},
                         {"device_path": "q", "flash_file": "new.bin", "flash_size": 8192}]})";
  std::string error;
  {
    auto session = SimSession::Open((dir_ / "s.json").string(), error);
    ASSERT_NE(session, nullptr) << error;
    EXPECT_EQ(session->camera(0).flash()[0], 0x12);
    EXPECT_EQ(session->camera(0).flash()[4096], 0xFF) << "beyond the file: erased";
    EXPECT_EQ(session->camera(1).flash()[0], 0xFF) << "no file yet";
    Host host(*session);
    host.pageProgram(0, {0x02});
  }  // no Finish: written back all the same
  const std::string written = readText(dir_ / "flash.bin");
  ASSERT_EQ(written.size(), 65536u);
  EXPECT_EQ(static_cast<std::uint8_t>(written[0]), 0x02);
  EXPECT_EQ(readText(dir_ / "new.bin"), std::string(8192, '\xFF'));
}

TEST(SimSession, ObjectsAreCountedAndComInitialisationTracked) {
  auto session =
      openScene(R"({"cameras": [{"device_path": "a", "route": "both"}, {"device_path": "b"}]})");
  ICameraStack& stack = session->cameras();
  std::unique_ptr<IMonikerEnum> enumerator;
  EXPECT_EQ(stack.CreateVideoInputEnum(enumerator), static_cast<HResult>(0x800401F0u));
  EXPECT_EQ(stack.CoInitialize(), hr::Ok);
  EXPECT_EQ(stack.CoInitialize(), hr::False);
  ASSERT_EQ(stack.CreateVideoInputEnum(enumerator), hr::Ok);
  std::unique_ptr<IDeviceMoniker> moniker;
  ASSERT_EQ(enumerator->Next(moniker), hr::Ok);
  std::unique_ptr<ICaptureFilter> filter;
  std::unique_ptr<IPropertyBag> bag;
  ASSERT_EQ(moniker->BindToObject(filter), hr::Ok);
  ASSERT_EQ(moniker->BindToStorage(bag), hr::Ok);
  std::unique_ptr<IKsControl> ks;
  std::unique_ptr<IKsTopologyInfo> topology;
  std::unique_ptr<IVendorXuAccess> xu;
  filter->QueryKsControl(ks);
  filter->QueryTopology(topology);
  filter->QueryVendorXuAccess(xu);
  EXPECT_EQ(session->liveObjects(), 7u);
  EXPECT_EQ(session->liveObjectSummary(),
            "moniker_enum=1 moniker=1 filter=1 ks_control=1 topology=1 vendor_xu=1 property_bag=1");
  filter.reset();
  moniker.reset();
  bag.reset();
  EXPECT_EQ(session->liveObjects(), 4u) << "interfaces live on without their filter";
  ASSERT_EQ(enumerator->Next(moniker), hr::Ok);
  EXPECT_EQ(enumerator->Next(moniker), hr::False);
  EXPECT_EQ(moniker, nullptr);
  EXPECT_EQ(enumerator->Reset(), hr::Ok);
  EXPECT_EQ(enumerator->Next(moniker), hr::Ok);
  enumerator.reset();
  moniker.reset();
  ks.reset();
  topology.reset();
  xu.reset();
  EXPECT_EQ(session->liveObjects(), 0u);
  EXPECT_EQ(session->liveObjectSummary(), "");
  stack.CoUninitialize();
  EXPECT_EQ(session->coInitializeCount(), 2u);
  EXPECT_EQ(session->coUninitializeCount(), 1u);
}

TEST(SimSession, EmptyCategoryAndEnumeratorHook) {
  auto empty = openScene(R"({})");
  empty->cameras().CoInitialize();
  std::unique_ptr<IMonikerEnum> enumerator;
  EXPECT_EQ(empty->cameras().CreateVideoInputEnum(enumerator), hr::False);
  EXPECT_EQ(enumerator, nullptr);
  auto failing = openScene(R"({"video_enum": "0x80040154", "cameras": [{"device_path": "a"}]})");
  failing->cameras().CoInitialize();
  EXPECT_EQ(failing->cameras().CreateVideoInputEnum(enumerator), static_cast<HResult>(0x80040154u));
  EXPECT_EQ(enumerator, nullptr);
}

TEST(SimSession, DevicePathAndBindingHooks) {
  auto session = openScene(R"({"cameras": [
      {"device_path": "\\\\?\\usb#vid_04f2&pid_b5bd#\u00e9"},
      {"device_path": "b", "bind_object": "0x80070005"},
      {"device_path": "c", "bind_storage": "0x80004005"},
      {"device_path": "d", "read_device_path": "0x80070002"}]})");
  session->cameras().CoInitialize();
  std::unique_ptr<IMonikerEnum> enumerator;
  ASSERT_EQ(session->cameras().CreateVideoInputEnum(enumerator), hr::Ok);
  std::unique_ptr<IDeviceMoniker> moniker;
  std::unique_ptr<ICaptureFilter> filter;
  std::unique_ptr<IPropertyBag> bag;
  char path[260];

  enumerator->Next(moniker);
  ASSERT_EQ(moniker->BindToStorage(bag), hr::Ok);
  EXPECT_EQ(bag->ReadDevicePath(path, sizeof path), hr::Ok);
  EXPECT_STREQ(path, "\\\\?\\usb#vid_04f2&pid_b5bd#?");
  std::memset(path, 'x', sizeof path);
  // Too long for the room given: cut at it, never written beyond.
  EXPECT_EQ(bag->ReadDevicePath(path, 10), hr::Ok);
  EXPECT_EQ(std::string(path, 10), std::string("\\\\?\\usb#vi"));
  EXPECT_EQ(path[10], 'x');

  enumerator->Next(moniker);
  EXPECT_EQ(moniker->BindToObject(filter), static_cast<HResult>(0x80070005u));
  EXPECT_EQ(filter, nullptr);
  EXPECT_EQ(moniker->BindToStorage(bag), hr::Ok);

  enumerator->Next(moniker);
  EXPECT_EQ(moniker->BindToObject(filter), hr::Ok);
  EXPECT_EQ(moniker->BindToStorage(bag), hr::Fail);
  EXPECT_EQ(bag, nullptr);

  enumerator->Next(moniker);
  ASSERT_EQ(moniker->BindToStorage(bag), hr::Ok);
  std::memset(path, 'x', sizeof path);
  EXPECT_EQ(bag->ReadDevicePath(path, sizeof path), static_cast<HResult>(0x80070002u));
  EXPECT_EQ(path[0], 'x');
}

TEST(SimRegistry, ImageDevicesAsTheIdentityLookupWalksThem) {
  auto session = openScene(R"({"image_devices": [
      {"instance_id": "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&0000",
       "hardware_ids": ["USB\\VID_04F2&PID_B5BD&REV_0100&MI_00", "USB\\VID_04F2&PID_B5BD&MI_00"],
       "address": 259, "grandparent_id": "USB\\ROOT_HUB20\\4&1"},
      {"instance_id": "X", "address": null}]})");
  auto list = session->registry().OpenPresentImageDevices();
  ASSERT_NE(list, nullptr);
  DevInst node = 0;
  DevInst second = 0;
  std::uint32_t lastError = 0;
  ASSERT_TRUE(list->EnumDeviceInfo(0, node, lastError));
  ASSERT_TRUE(list->EnumDeviceInfo(1, second, lastError));
  EXPECT_FALSE(list->EnumDeviceInfo(2, second, lastError));
  EXPECT_EQ(lastError, win32err::NoMoreItems);

  char id[260];
  ASSERT_TRUE(list->GetDeviceId(node, id, sizeof id));
  EXPECT_STREQ(id, "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&0000");
  EXPECT_FALSE(list->GetDeviceId(node, id, 10));

  std::uint32_t required = 0;
  EXPECT_FALSE(list->GetRegistryProperty(node, DeviceRegistryProperty::Address, nullptr, 0,
                                         required, lastError));
  EXPECT_EQ(lastError, win32err::InsufficientBuffer);
  EXPECT_EQ(required, 4u);
  std::uint8_t address[4] = {};
  EXPECT_TRUE(list->GetRegistryProperty(node, DeviceRegistryProperty::Address, address, 4, required,
                                        lastError));
  EXPECT_EQ(address[0], 3);
  EXPECT_EQ(address[1], 1);

  std::vector<std::uint8_t> ids(10);
  EXPECT_FALSE(list->GetRegistryProperty(node, DeviceRegistryProperty::HardwareId, ids.data(), 10,
                                         required, lastError));
  EXPECT_EQ(lastError, win32err::InsufficientBuffer);
  const std::string multi = std::string("USB\\VID_04F2&PID_B5BD&REV_0100&MI_00") + '\0' +
                            "USB\\VID_04F2&PID_B5BD&MI_00" + '\0' + '\0';
  EXPECT_EQ(required, multi.size());
  ids.resize(required);
  EXPECT_TRUE(list->GetRegistryProperty(node, DeviceRegistryProperty::HardwareId, ids.data(),
                                        required, required, lastError));
  EXPECT_EQ(std::string(ids.begin(), ids.end()), multi);

  DevInst parent = 0;
  DevInst grandparent = 0;
  ASSERT_TRUE(list->GetParent(node, parent));
  ASSERT_TRUE(list->GetParent(parent, grandparent));
  ASSERT_TRUE(list->GetDeviceId(grandparent, id, sizeof id));
  EXPECT_STREQ(id, "USB\\ROOT_HUB20\\4&1");

  lastError = 0;
  EXPECT_FALSE(list->GetRegistryProperty(second, DeviceRegistryProperty::Address, address, 4,
                                         required, lastError));
  EXPECT_NE(lastError, win32err::InsufficientBuffer) << "address null: unreadable";
  ASSERT_TRUE(list->GetParent(second, parent));
  EXPECT_FALSE(list->GetParent(parent, grandparent)) << "no grandparent named";
  EXPECT_EQ(session->liveObjects(), 1u);
}

TEST(SimRegistry, UnavailableListAndEnumerationErrorHooks) {
  auto none = openScene(R"({"image_registry": "unavailable"})");
  EXPECT_EQ(none->registry().OpenPresentImageDevices(), nullptr);
  auto broken = openScene(R"({"image_enum_error": 31, "image_devices": [{"instance_id": "a"}]})");
  auto list = broken->registry().OpenPresentImageDevices();
  DevInst node = 0;
  std::uint32_t lastError = 0;
  EXPECT_TRUE(list->EnumDeviceInfo(0, node, lastError));
  EXPECT_FALSE(list->EnumDeviceInfo(1, node, lastError));
  EXPECT_EQ(lastError, 31u);
}

}  // namespace
}  // namespace qv::sim::test

namespace qv::sim::test {
namespace {

TEST(SimClockModes, VirtualClockCountsRequestsAndSleepsRealClockBlocks) {
  auto virtualSession = openScene(oneCamera());
  {
    Host host(*virtualSession);
    host.set(14, std::vector<std::uint8_t>(4, 0));
    std::vector<std::uint8_t> out;
    host.get(15, 4096, out);
  }
  // 250 us per request plus 62.5 ns per byte, and the engine's 4100 SPI
  // bytes at 333 ns.
  EXPECT_EQ(virtualSession->clock().NowMicroseconds(), 250 + 250 + 256 + (4100 * 333) / 1000);
  virtualSession->clock().Sleep(2500);
  EXPECT_EQ(virtualSession->clock().NowMicroseconds(), 2500000 + 250 + 250 + 256 + 1365);

  auto realSession = openScene(R"({"clock": "real"})");
  const std::uint64_t before = realSession->clock().NowMicroseconds();
  realSession->clock().Sleep(2);
  EXPECT_GE(realSession->clock().NowMicroseconds() - before, 2000u);
  EXPECT_EQ(realSession->traceLines(), std::vector<std::string>{"SLEEP 2"});
}

}  // namespace
}  // namespace qv::sim::test
