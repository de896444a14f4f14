// Discovery, registers and serial-flash primitives end to end on the
// simulated camera: request traces, flash contents and the bounded waits
// against stuck and unplugged cameras.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "camera/camera_device.h"
#include "platform/sim/sim_session.h"
#include "sim/camera_model.h"
#include "tests/support/fake_os.h"

namespace qv {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kUsbPath = R"(\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{x})";

std::string camera(const std::string& members = "", const char* path = kUsbPath) {
  return std::string(R"({"device_path": ")") + path + "\"" +
         (members.empty() ? "" : ", " + members) + "}";
}

// A simulator session with the fake OS services around it.
struct SimRig {
  std::unique_ptr<sim::SimSession> session;
  test::FakeOs os;
  std::unique_ptr<Platform> platform;

  explicit SimRig(const std::vector<std::string>& cameras, const std::string& extra = "") {
    std::string scene = R"({"cameras": [)";
    for (std::size_t i = 0; i < cameras.size(); ++i) scene += (i ? "," : "") + cameras[i];
    scene += "]" + extra + "}";
    std::string error;
    session = sim::SimSession::OpenText(scene, ".", "scene.json", error);
    EXPECT_NE(session, nullptr) << error;
    platform = std::make_unique<Platform>(
        os.platform(session->cameras(), session->registry(), session->clock()));
  }
  std::size_t mark() const { return session->traceLines().size(); }
  Lines since(std::size_t from) const {
    const auto& all = session->traceLines();
    return Lines(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
  }
};

// An opened camera 0 with its trace position after the open.
struct OpenedSim {
  SimRig rig;
  std::unique_ptr<CCameraDevice> device;
  CCameraCore* core = nullptr;
  std::size_t start = 0;
  explicit OpenedSim(const std::string& members = "") : rig({camera(members)}) {
    device = std::make_unique<CCameraDevice>(*rig.platform);
    EXPECT_EQ(device->OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    core = device->core();
    start = rig.mark();
  }
  Lines trace() const { return rig.since(start); }
};

TEST(SimDiscoveryTest, CountAndOpenWithSleepsAndProbe) {
  SimRig rig({camera(R"("chip_id": 106)"), camera("", R"(\\\\?\\root#image#0000#{x})"),
              camera(R"("route": "none")")});
  std::int32_t count = 0;
  EXPECT_EQ(CountCameras(*rig.platform, count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(rig.since(0), (Lines{"SLEEP 300", "0 GET 2 2 00 00", "SLEEP 300", "SLEEP 300"}));

  const std::size_t start = rig.mark();
  {
    CCameraDevice device(*rig.platform);
    ASSERT_EQ(device.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    EXPECT_EQ(device.core()->channel()->family(), 102);  // 106 = 0x6A
    EXPECT_EQ(g_spiCsAssertValue, 2);
    EXPECT_EQ(rig.since(start),
              (Lines{"SLEEP 300", "0 GET 2 2 00 00", "0 SET 2 FF 20", "0 GET 3 1 6A"}));
  }
  EXPECT_EQ(rig.session->liveObjects(), 0u) << rig.session->liveObjectSummary();
  EXPECT_EQ(rig.session->coInitializeCount(), 2u);
  EXPECT_EQ(rig.session->coUninitializeCount(), 1u);
}

// One walk lists one camera per USB device: a non-USB device and the
// infrared function of a listed device are not bound. A listed camera opens
// through the filter the walk bound; by ID alone, the walk binds only it.
TEST(SimDiscoveryTest, ListAndOpenByCameraId) {
  const char* pathB = R"(\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4e&0&0000#{x})";
  SimRig rig(
      {camera(R"("infrared_path": "\\\\?\\usb#vid_04f2&pid_b5bd&mi_02#6&1a2b3c4f&0&0002#{x}")"),
       camera("", R"(\\\\?\\root#image#0000#{x})"), camera(R"("chip_id": 177)", pathB)},
      R"(, "image_devices": [
                 {"instance_id": "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&0000"},
                 {"instance_id": "USB\\VID_04F2&PID_B5BD&MI_02\\6&1A2B3C4F&0&0002", "parent": 1},
                 {"instance_id": "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4E&0&0000"}])");
  {
    std::vector<ListedCamera> cameras;
    ASSERT_EQ(ListCameras(*rig.platform, cameras), 0);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0].cameraId, "USB\\SIM_COMPOSITE\\1");
    EXPECT_EQ(cameras[1].cameraId, "USB\\SIM_COMPOSITE\\3");
    EXPECT_EQ(rig.since(0),
              (Lines{"SLEEP 300", "0 GET 2 2 00 00", "SLEEP 300", "2 GET 2 2 00 00"}));
    std::size_t start = rig.mark();
    CCameraDevice listed(*rig.platform);
    ASSERT_EQ(listed.OpenListedCamera(CHIP_FAMILY_ANY, cameras[1]), 0);
    EXPECT_EQ(listed.core()->channel()->family(), 106);
    EXPECT_EQ(rig.since(start), (Lines{"2 GET 2 2 00 00", "2 SET 2 FF 20", "2 GET 3 1 B1"}));

    start = rig.mark();
    CCameraDevice byId(*rig.platform);
    ASSERT_EQ(byId.core()->OpenCameraById(CHIP_FAMILY_ANY, "USB\\SIM_COMPOSITE\\1"), 0);
    EXPECT_EQ(rig.since(start),
              (Lines{"SLEEP 300", "0 GET 2 2 00 00", "0 SET 2 FF 20", "0 GET 3 1 8A"}));
    start = rig.mark();
    CCameraDevice absent(*rig.platform);
    EXPECT_EQ(absent.core()->OpenCameraById(CHIP_FAMILY_ANY, "USB\\SIM_COMPOSITE\\2"), 1);
    EXPECT_EQ(absent.core()->channel(), nullptr);
    EXPECT_EQ(rig.since(start), Lines{});
  }
  EXPECT_EQ(rig.session->liveObjects(), 0u) << rig.session->liveObjectSummary();
}

TEST(SimDiscoveryTest, SecondaryGuidAndNodeChoice) {
  SimRig rig({camera(R"("xu_guid": "secondary", "nodes": ["other", "xu", "xu"])")});
  CCameraDevice device(*rig.platform);
  ASSERT_EQ(device.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
  EXPECT_EQ(device.core()->channel()->nodeId(), 1u);
  EXPECT_EQ(rig.since(0), (Lines{"SLEEP 300", "0 GET 2 2 !80070492", "0 GET 2 2 00 00",
                                 "0 SET 2 FF 20", "0 GET 3 1 8A"}));
}

TEST(SimDiscoveryTest, PositionNumberingWithARejectedChipId) {
  SimRig rig({camera(R"("chip_id": 112)"), camera(R"("chip_id": 128)")});  // 0x70, 0x80
  std::int32_t count = 0;
  CountCameras(*rig.platform, count);
  EXPECT_EQ(count, 2);
  {
    CCameraDevice device(*rig.platform);
    EXPECT_EQ(device.OpenCamera(CHIP_FAMILY_ANY, 0), 1);
    EXPECT_EQ(device.core()->channel(), nullptr);
  }
  {
    CCameraDevice device(*rig.platform);
    EXPECT_EQ(device.OpenCamera(104, 0), 1);  // position 1 is the rejected one
  }
  {
    CCameraDevice device(*rig.platform);
    EXPECT_EQ(device.OpenCamera(104, 1), 0);
    EXPECT_EQ(device.core()->channel()->family(), 104);
  }
  EXPECT_EQ(rig.session->liveObjects(), 0u) << rig.session->liveObjectSummary();
  EXPECT_EQ(rig.session->coUninitializeCount(), 3u);
}

TEST(SimDiscoveryTest, PrivateRouteChipIdRead) {
  SimRig rig({camera(R"("route": "private", "chip_id": 197)")});  // 0xC5
  std::int32_t count = 0;
  CountCameras(*rig.platform, count);
  EXPECT_EQ(count, 1);
  const std::size_t start = rig.mark();
  CCameraDevice device(*rig.platform);
  ASSERT_EQ(device.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
  EXPECT_EQ(device.core()->channel()->mode(), XU_MODE_PRIVATE);
  EXPECT_EQ(device.core()->channel()->family(), 107);
  EXPECT_EQ(rig.since(start), (Lines{"SLEEP 300", "0 SET 2 FF 20", "0 GET 3 1 C5"}));
}

TEST(SimDiscoveryTest, BothRoutesUseKsWithThePrivateInterfaceAttached) {
  SimRig rig({camera(R"("route": "both")")});
  CCameraDevice device(*rig.platform);
  ASSERT_EQ(device.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
  EXPECT_EQ(device.core()->channel()->mode(), XU_MODE_KS_AND_PRIVATE);
}

// ---- Primitives on the simulated chip ------------------------------------------

TEST(SimPrimitiveTest, WriteEnableIsTenRequests) {
  OpenedSim o;  // family 104
  EXPECT_EQ(o.core->FlashWriteEnable(), hr::Ok);
  EXPECT_EQ(o.trace(),
            (Lines{"0 SET 2 20 20", "0 SET 3 80", "0 SET 2 25 20", "0 SET 3 00", "0 SET 2 22 20",
                   "0 SET 3 06", "0 SET 2 21 20", "0 GET 3 1 00", "0 SET 2 25 20", "0 SET 3 02"}));
}

TEST(SimPrimitiveTest, Family102SelectsWithTwo) {
  OpenedSim o(R"("chip_id": 100)");  // 0x64
  EXPECT_EQ(o.core->FlashWriteEnable(), hr::Ok);
  const Lines t = o.trace();
  ASSERT_EQ(t.size(), 10u);
  EXPECT_EQ(t[3], "0 SET 3 02");
  EXPECT_EQ(t[9], "0 SET 3 00");
}

TEST(SimPrimitiveTest, StatusWriteAndPageProgramReachTheFlash) {
  OpenedSim o;  // GD25Q512, status 0x0C (protected)
  EXPECT_EQ(o.core->FlashReadStatus(), 0x0C);
  o.core->FlashWriteStatus(0x00, 0);
  EXPECT_EQ(o.rig.session->camera(0).statusRegister(), 0x00);
  const std::uint8_t bytes[3] = {0x12, 0x34, 0x56};
  EXPECT_EQ(o.core->WriteFlashBytes(0x10100, 3, bytes), hr::Ok);  // bit 16 dropped
  const auto flash = o.rig.session->camera(0).flash();
  EXPECT_EQ(flash[0x0100], 0x12);
  EXPECT_EQ(flash[0x0102], 0x56);
  EXPECT_EQ(o.rig.session->camera(0).peekRegister(REG_SPI_CTRL), 0x00);
  o.core->FlashWriteStatus(0x0C, 0);
  EXPECT_EQ(o.rig.session->camera(0).statusRegister(), 0x0C);
  EXPECT_FALSE(o.core->faulted());
}

TEST(SimPrimitiveTest, ProtectedFlashIgnoresThePageProgram) {
  OpenedSim o;
  const std::uint8_t byte = 0x00;
  EXPECT_EQ(o.core->WriteFlashBytes(0x0000, 1, &byte), hr::Ok);  // the chip accepted the bytes
  EXPECT_EQ(o.rig.session->camera(0).flash()[0], 0xFF);          // block protect kept them out
}

TEST(SimPrimitiveTest, ReadFlashIdJedecAndManufacturerCommands) {
  OpenedSim o;
  std::uint8_t jedec[3] = {};
  EXPECT_EQ(o.core->ReadFlashId(jedec, 0x9F), 1);
  const Lines t = o.trace();
  // SendSpiIdleByte (6), select (2), the command byte (2), then the first
  // receive straight away.
  ASSERT_GT(t.size(), 11u);
  EXPECT_EQ(t[8], "0 SET 2 22 20");
  EXPECT_EQ(t[9], "0 SET 3 9F");
  EXPECT_EQ(t[10], "0 SET 2 23 20");
  EXPECT_EQ(t.size(), 10u + 3 * 8 + 2);

  const std::size_t mark = o.rig.mark();
  std::uint8_t rems[3] = {};
  EXPECT_EQ(o.core->ReadFlashId(rems, 0x90), 1);
  const Lines t90 = o.rig.since(mark);
  EXPECT_EQ(t90[9], "0 SET 3 90");
  EXPECT_EQ(t90[10], "0 SET 2 21 20");  // a wait, then three 00 bytes
  EXPECT_EQ(t90[13], "0 SET 3 00");
  EXPECT_EQ(t90.size(), 10u + 2 + 3 * 4 + 3 * 8 + 2);
  // The replies are the part's (GD25Q512): the sim answers the same on a
  // second read.
  std::uint8_t again[3] = {};
  o.core->ReadFlashId(again, 0x9F);
  EXPECT_EQ(std::vector<std::uint8_t>(jedec, jedec + 3),
            std::vector<std::uint8_t>(again, again + 3));
  EXPECT_NE(jedec[0], 0xFF);
  EXPECT_NE(rems[0], 0xFF);
}

TEST(SimPrimitiveTest, Family106ReadsTheIdThroughTheExtensionUnit) {
  OpenedSim o(R"("chip_id": 176)");  // 0xB0
  std::uint8_t id[3] = {};
  o.core->ReadFlashId(id, 0x9F);
  const Lines t = o.trace();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], "0 SET 7 0D");
  EXPECT_EQ(t[1], "0 SET 8 9F");
  EXPECT_EQ(t[2].substr(0, 11), "0 GET 23 3 ");
}

TEST(SimPrimitiveTest, ResetChipStopsAtAFailedWrite) {
  // Requests of the open: probe, address SET, ID GET. The reset's third
  // write's data SET is then request 3 + 6.
  OpenedSim o(R"("faults": [{"request": 9, "result": "0x8007001F", "count": 1}])");
  EXPECT_EQ(o.core->ResetChip(), 0);
  EXPECT_EQ(o.trace(), (Lines{"0 SET 2 30 20", "0 SET 3 FF", "0 SET 2 31 20", "0 SET 3 00",
                              "0 SET 2 32 20", "0 SET 3 !8007001F"}));
}

// ---- Bounded waits --------------------------------------------------------------

TEST(SimWaitTest, StuckSpiMasterEndsAndFaultsTheCore) {
  OpenedSim o(R"("faults": [{"spi_busy": "stuck"}])");
  EXPECT_TRUE(failed(o.core->FlashWriteEnable()));
  EXPECT_TRUE(o.core->faulted());
  const Lines t = o.trace();
  // CTRL, select, TX, the polls, then one release of the selected flash.
  EXPECT_LE(t.size(), 8u + 2u * kSpiIdleMaxPolls);
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[t.size() - 2], "0 SET 2 25 20");
  EXPECT_EQ(t.back(), "0 SET 3 02");
  const std::size_t mark = o.rig.mark();
  EXPECT_EQ(o.core->FlashReadStatus(), kFlashStatusUnknown);
  std::uint8_t id[3];
  o.core->ReadFlashId(id, 0x9F);
  EXPECT_TRUE(o.rig.since(mark).empty());
}

TEST(SimWaitTest, StuckWriteInProgressEndsWithinItsTimeLimit) {
  OpenedSim o(R"("faults": [{"wip": "stuck"}], "status_register": 0)");
  const std::uint8_t byte = 0x00;
  const std::uint64_t before = o.rig.session->clock().NowMicroseconds();
  EXPECT_TRUE(failed(o.core->WriteFlashBytes(0x0000, 1, &byte)));
  EXPECT_TRUE(o.core->faulted());
  const std::uint64_t spent = o.rig.session->clock().NowMicroseconds() - before;
  EXPECT_GE(spent, kFlashWipMaxMicroseconds);
  EXPECT_LT(spent, 2 * kFlashWipMaxMicroseconds);
  // No more polling afterwards.
  const std::size_t mark = o.rig.mark();
  o.core->FlashWriteStatus(0x0C, 0);
  EXPECT_TRUE(o.rig.since(mark).empty());
}

TEST(SimWaitTest, RequestTimeoutSilencesTheCamera) {
  // Both timeouts a driver reports (ETIMEDOUT reads ERROR_SEM_TIMEOUT), once
  // only: the camera would answer again, but a camera that never does would
  // cost the driver's timeout for every later request.
  for (const char* result : {"0x80070079", "0x800705B4"}) {
    SCOPED_TRACE(result);
    runNotes().clear();
    OpenedSim o(std::string(R"("faults": [{"request": 5, "result": ")") + result +
                R"(", "count": 1}])");
    EXPECT_EQ(o.core->FlashReadStatus(), kFlashStatusUnknown);
    EXPECT_TRUE(o.core->faulted());
    const Lines t = o.trace();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t.back().substr(0, 9), "0 SET 3 !");
    const std::size_t mark = o.rig.mark();
    std::uint8_t id[3];
    EXPECT_NE(o.core->ReadFlashId(id, 0x9F), 0);
    const std::uint8_t byte = 0;
    EXPECT_TRUE(failed(o.core->WriteFlashBytes(0, 1, &byte)));
    EXPECT_TRUE(o.rig.since(mark).empty());
    ASSERT_FALSE(runNotes().notes().empty());
    EXPECT_EQ(runNotes().notes().front().kind, FailureKind::CameraNotAnswering);
    EXPECT_FALSE(runNotes().has(FailureKind::FlashNotAnswering));
  }
}

TEST(SimWaitTest, UnpluggedCameraEndsQuickly) {
  OpenedSim o(R"("faults": [{"unplug_after": 5}])");
  EXPECT_EQ(o.core->FlashReadStatus(), kFlashStatusUnknown);
  EXPECT_TRUE(o.core->faulted());
  const Lines t = o.trace();
  // The failing busy reads, then the one release attempt.
  EXPECT_LE(t.size(), 8u + 2u * kWaitMaxReadFailures);
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(t[t.size() - 3], "0 GET 3 1 !8007048F");
  EXPECT_EQ(t.back(), "0 SET 3 !8007048F");
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

TEST(SimDiscovery, ALongDevicePathIsKeptCutAndTerminated) {
  // A path longer than the core keeps: the camera still opens, and the
  // path it keeps is the path's first 255 characters.
  const std::string path = std::string(R"(\\\\?\\usb#vid_04f2&pid_b5bd#)") + std::string(300, 'a');
  SimRig rig({camera("", path.c_str())});
  CCameraDevice device(*rig.platform);
  ASSERT_EQ(device.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
  const std::string kept = device.core()->devicePath();
  ASSERT_EQ(kept.size(), 255u);
  EXPECT_EQ(kept, std::string(R"(\\?\usb#vid_04f2&pid_b5bd#)") + std::string(255 - 26, 'a'));
}

}  // namespace
}  // namespace qv
