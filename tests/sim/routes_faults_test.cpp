// The routes a request can take to the extension unit, and injected faults.

#include <gtest/gtest.h>

#include "sim_host.h"

namespace qv::sim::test {
namespace {

struct Bound {
  std::unique_ptr<IMonikerEnum> enumerator;
  std::unique_ptr<IDeviceMoniker> moniker;
  std::unique_ptr<ICaptureFilter> filter;
};

Bound bind(SimSession& session, std::size_t index = 0) {
  Bound b;
  session.cameras().CoInitialize();
  EXPECT_EQ(session.cameras().CreateVideoInputEnum(b.enumerator), hr::Ok);
  for (std::size_t i = 0; i <= index; ++i) EXPECT_EQ(b.enumerator->Next(b.moniker), hr::Ok);
  EXPECT_EQ(b.moniker->BindToObject(b.filter), hr::Ok);
  return b;
}

TEST(SimPrivateRoute, GetRunsWhenTheReplyIsReadAndTracesOnce) {
  auto session = openScene(oneCamera(R"("route": "private")"));
  Bound b = bind(*session);
  std::unique_ptr<IVendorXuAccess> xu;
  ASSERT_EQ(b.filter->QueryVendorXuAccess(xu), hr::Ok);
  std::vector<std::uint8_t> block(kXuRequestBlockSize, 0);
  const std::size_t start = session->traceLines().size();

  // SET of control 2 (register address 0x20FF): header 02 00 01 02.
  block[0] = 2, block[1] = 0, block[2] = 0x01, block[3] = 2, block[4] = 0xFF, block[5] = 0x20;
  EXPECT_EQ(xu->SendRequest(35, block.data()), hr::Ok);
  // GET of control 3, one byte: 01 00 81 03 00 00 00 00.
  std::fill(block.begin(), block.end(), 0);
  block[0] = 1, block[2] = 0x81, block[3] = 3;
  EXPECT_EQ(xu->SendRequest(35, block.data()), hr::Ok);
  EXPECT_EQ(session->traceLines().size(), start + 1) << "the GET is only recorded";
  std::vector<std::uint8_t> reply(kXuReplySize, 0xEE);
  EXPECT_EQ(xu->ReadReply(35, reply.data()), hr::Ok);
  EXPECT_EQ(reply[0], 0x8A);
  EXPECT_EQ(reply[1], 0xEE) << "only the requested length is written";
  // GET-LENGTH of control 15: the length arrives in the block's first bytes.
  std::fill(block.begin(), block.end(), 0);
  block[0] = 2, block[2] = 0x85, block[3] = 15;
  EXPECT_EQ(xu->SendRequest(35, block.data()), hr::Ok);
  block[4] = block[5] = block[6] = block[7] = 0;
  EXPECT_EQ(xu->ReadReply(35, block.data()), hr::Ok);
  EXPECT_EQ(block[0] | (block[1] << 8), 4096);
  // A reply read with nothing pending is no request.
  EXPECT_EQ(xu->ReadReply(35, reply.data()), hr::Unexpected);
  // An unknown selector.
  std::fill(block.begin(), block.end(), 0);
  block[0] = 1, block[2] = 0x01, block[3] = 5, block[4] = 1;
  EXPECT_EQ(xu->SendRequest(35, block.data()), hr::NotFound);
  EXPECT_EQ(linesFrom(*session, start),
            (std::vector<std::string>{"0 SET 2 FF 20", "0 GET 3 1 8A", "0 LEN 15 4096",
                                      "0 SET 5 !80070490"}));
}

TEST(SimPrivateRoute, HostOverThePrivateInterfaceReachesTheFlash) {
  auto session = openScene(oneCamera(R"("route": "private", "chip_id": 96)"));
  Host host(*session, 0, true);
  EXPECT_EQ(host.readId(0x9F), (std::array<std::uint8_t, 3>{0xC8, 0x40, 0x10}));
  EXPECT_EQ(host.model().peekRegister(kRegSpiCs), 0) << "family 102 releases with 0";
}

TEST(SimRoutes, InterfacesOfferedPerRoute) {
  auto session = openScene(R"({"cameras": [
      {"device_path": "a", "route": "ks"}, {"device_path": "b", "route": "private"},
      {"device_path": "c", "route": "both"}, {"device_path": "d", "route": "none"},
      {"device_path": "e", "ks_control": false}]})");
  const bool expected[5][3] = {{true, true, false},
                               {true, false, true},
                               {true, true, true},
                               {true, false, false},
                               {false, true, false}};
  for (std::size_t i = 0; i < 5; ++i) {
    Bound b = bind(*session, i);
    std::unique_ptr<IKsControl> ks;
    std::unique_ptr<IKsTopologyInfo> topology;
    std::unique_ptr<IVendorXuAccess> xu;
    EXPECT_EQ(b.filter->QueryKsControl(ks) == hr::Ok, expected[i][0]) << i;
    EXPECT_EQ(b.filter->QueryTopology(topology) == hr::Ok, expected[i][1]) << i;
    EXPECT_EQ(b.filter->QueryVendorXuAccess(xu) == hr::Ok, expected[i][2]) << i;
    EXPECT_EQ(ks != nullptr, expected[i][0]);
    EXPECT_EQ(topology != nullptr, expected[i][1]);
    EXPECT_EQ(xu != nullptr, expected[i][2]);
    session->cameras().CoUninitialize();
  }
  // A KS request to a camera without topology finds no extension unit.
  Host host(*session, 1);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(host.get(2, 2, out), hr::SetNotFound);
  EXPECT_EQ(session->traceLines().back(), "1 GET 2 2 !80070492");
}

TEST(SimRoutes, NodesAndPropertySets) {
  auto session = openScene(oneCamera(R"("nodes": ["other", "xu"], "xu_guid": "secondary")"));
  Bound b = bind(*session);
  std::unique_ptr<IKsTopologyInfo> topology;
  ASSERT_EQ(b.filter->QueryTopology(topology), hr::Ok);
  std::uint32_t count = 0;
  EXPECT_EQ(topology->get_NumNodes(&count), hr::Ok);
  EXPECT_EQ(count, 2u);
  Guid type{};
  EXPECT_EQ(topology->get_NodeType(0, &type), hr::Ok);
  EXPECT_FALSE(type == kKsNodeTypeDevSpecific);
  EXPECT_EQ(topology->get_NodeType(1, &type), hr::Ok);
  EXPECT_TRUE(type == kKsNodeTypeDevSpecific);
  EXPECT_LT(topology->get_NodeType(2, &type), 0);

  std::vector<std::uint8_t> out;
  {
    Host onOther(*session, 0, false, 0, XU_GUID_SECONDARY);
    EXPECT_EQ(onOther.get(2, 2, out), hr::SetNotFound);
  }
  {
    Host primary(*session, 0, false, 1, XU_GUID_PRIMARY);
    EXPECT_EQ(primary.get(2, 2, out), hr::SetNotFound);
  }
  Host secondary(*session, 0, false, 1, XU_GUID_SECONDARY);
  EXPECT_EQ(secondary.get(2, 2, out), hr::Ok);
  EXPECT_EQ(
      linesFrom(*session, session->traceLines().size() - 3),
      (std::vector<std::string>{"0 GET 2 2 !80070492", "0 GET 2 2 !80070492", "0 GET 2 2 00 00"}));
}

TEST(SimRoutes, KsGetLengthAnswersMoreDataWithTheLength) {
  auto session = openScene(oneCamera(R"("dfu_block_length": 2048)"));
  Bound b = bind(*session);
  std::unique_ptr<IKsControl> ks;
  ASSERT_EQ(b.filter->QueryKsControl(ks), hr::Ok);
  KSP_NODE property{};
  property.Property = {XU_GUID_PRIMARY, 10, kKsPropertyTypeGet | kKsPropertyTypeTopology};
  std::uint32_t returned = 0;
  EXPECT_EQ(ks->KsProperty(&property, sizeof property, nullptr, 0, &returned), hr::MoreData);
  EXPECT_EQ(returned, 2048u);
  EXPECT_EQ(session->traceLines().back(), "0 LEN 10 2048");
  EXPECT_EQ(ks->KsProperty(nullptr, sizeof property, nullptr, 0, &returned), hr::Pointer);
  EXPECT_EQ(session->traceLines().back(), "0 LEN 10 2048") << "a malformed call reaches no camera";
}

TEST(SimRoutes, LengthOtherThanTheControlsIsRefusedOnEveryRoute) {
  // As both drivers do: only the announced length passes; the refusal is a
  // request like any other (counted, traced, no effect).
  for (const bool privateRoute : {false, true}) {
    SCOPED_TRACE(privateRoute ? "private" : "ks");
    auto session =
        openScene(oneCamera(privateRoute ? R"("route": "private", "read_block_length": 64)"
                                         : R"("read_block_length": 64)"));
    Host host(*session, 0, privateRoute);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(host.set(2, {0xFF}), kLengthMismatch);
    EXPECT_EQ(host.set(2, {0xFF, 0x20, 0x00}), kLengthMismatch);
    EXPECT_EQ(host.get(3, 2, out), kLengthMismatch);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(host.get(15, 4096, out), kLengthMismatch);
    EXPECT_EQ(host.get(15, 64, out), hr::Ok);
    EXPECT_EQ(host.set(2, {0xFF, 0x20}), hr::Ok);
    EXPECT_EQ(host.get(3, 1, out), hr::Ok);
    EXPECT_EQ(out[0], 0x8A);
    EXPECT_EQ(host.model().requestCount(), 7u);
    const auto lines = linesFrom(*session, 0);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{"0 SET 2 !8007007A", "0 SET 2 !8007007A",
                                        "0 GET 3 2 !8007007A", "0 GET 15 4096 !8007007A"}));
  }
}

TEST(SimFaults, RequestFaultFailsItsRequestsWithoutEffect) {
  auto session =
      openScene(oneCamera(R"("faults": [{"request": 2, "result": "0x8007001F", "count": 2}])"));
  Host host(*session);
  EXPECT_EQ(host.set(2, {0x25, 0x20}), hr::Ok);
  EXPECT_EQ(host.set(2, {0xFF, 0x20}), hr::GenFailure);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(host.get(3, 1, out), hr::GenFailure);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(host.get(3, 1, out), hr::Ok);
  EXPECT_EQ(out[0], 0x02) << "still register 0x2025 (released)";
  EXPECT_EQ(linesFrom(*session, 0),
            (std::vector<std::string>{"0 SET 2 25 20", "0 SET 2 !8007001F", "0 GET 3 1 !8007001F",
                                      "0 GET 3 1 02"}));
}

TEST(SimFaults, AnInjectedSuccessCodeIsReturnedAsIs) {
  auto session = openScene(oneCamera(R"("faults": [{"request": 1, "result": "0x00000001"}])"));
  Host host(*session);
  std::uint32_t length = 7;
  EXPECT_EQ(host.len(15, length), hr::False);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(session->traceLines().back(), "0 LEN 15 !00000001");
}

TEST(SimFaults, UnplugFailsEveryLaterRequestOnBothRoutes) {
  auto session = openScene(oneCamera(R"("route": "both", "faults": [{"unplug_after": 2}])"));
  Host host(*session);
  EXPECT_EQ(host.set(2, {0xFF, 0x20}), hr::Ok);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(host.get(3, 1, out), hr::Ok);
  EXPECT_EQ(host.get(3, 1, out), hr::DeviceNotConnected);
  std::uint32_t length = 0;
  EXPECT_EQ(host.len(10, length), hr::DeviceNotConnected);
  EXPECT_EQ(session->traceLines().back(), "0 LEN 10 !8007048F");
  Host viaPrivate(*session, 0, true);
  std::vector<std::uint8_t> block(kXuRequestBlockSize, 0);
  block[0] = 1, block[2] = 0x81, block[3] = 3;
  Bound b = bind(*session);
  std::unique_ptr<IVendorXuAccess> xu;
  ASSERT_EQ(b.filter->QueryVendorXuAccess(xu), hr::Ok);
  EXPECT_EQ(xu->SendRequest(35, block.data()), hr::DeviceNotConnected);
  EXPECT_EQ(viaPrivate.set(3, {1}), hr::DeviceNotConnected);
}

TEST(SimFaults, SpiBusyStuckNeverReadsIdle) {
  auto session = openScene(oneCamera(R"("faults": [{"spi_busy": "stuck"}])"));
  Host host(*session);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(host.readReg(kRegSpiBusy), 0x01);
  session->clock().Sleep(1000);
  EXPECT_EQ(host.readReg(kRegSpiBusy), 0x01);
}

TEST(SimFaults, SpiBusyReadsHookCountsNonZeroReads) {
  auto session = openScene(oneCamera(R"("spi_busy_reads": 3)"));
  Host host(*session);
  EXPECT_EQ(host.readReg(kRegSpiBusy), 0x00);
  host.writeReg(kRegSpiCtrl, 0x80);
  host.writeReg(kRegSpiTx, 0x04);
  EXPECT_EQ(host.readReg(kRegSpiBusy), 0x01);
  EXPECT_EQ(host.readReg(kRegSpiBusy), 0x01);
  EXPECT_EQ(host.readReg(kRegSpiBusy), 0x01);
  EXPECT_EQ(host.readReg(kRegSpiBusy), 0x00);
}

TEST(SimFaults, WipStuckNeverClearsOnceSet) {
  auto session = openScene(oneCamera(R"("status_register": 0, "faults": [{"wip": "stuck"}])"));
  Host host(*session);
  EXPECT_EQ(host.readStatus(), 0x00);
  host.pageProgram(0, {0x00});
  session->clock().Sleep(60000);
  EXPECT_EQ(host.readStatus() & 0x01, 0x01);
  EXPECT_EQ(host.readId(0x9F), (std::array<std::uint8_t, 3>{0xFF, 0xFF, 0xFF}));
}

TEST(SimFaults, EngineGivesUpOnAStuckFlashWithinItsLimit) {
  auto session = openScene(oneCamera(R"("chip_id": 176, "faults": [{"wip": "stuck"}])"));
  Host host(*session);
  host.loadTable(kTables[0]);
  host.set(9, {1});
  const std::uint64_t before = session->clock().NowMicroseconds();
  EXPECT_EQ(host.set(10, std::vector<std::uint8_t>(4096, 0x00)), hr::Ok);
  const std::uint64_t spent = session->clock().NowMicroseconds() - before;
  EXPECT_LE(spent, kEngineWaitLimitNs / 1000 + 10000);
  EXPECT_EQ(session->camera(0).flash()[1], 0xFF);
}

}  // namespace
}  // namespace qv::sim::test

namespace qv::sim::test {
namespace {

TEST(SimPrivateRoute, CallsThatNeverReachTheCameraAreNotTraced) {
  auto session = openScene(oneCamera(R"("route": "private")"));
  Bound b = bind(*session);
  std::unique_ptr<IVendorXuAccess> xu;
  ASSERT_EQ(b.filter->QueryVendorXuAccess(xu), hr::Ok);
  std::vector<std::uint8_t> block(kXuRequestBlockSize, 0);
  std::vector<std::uint8_t> reply(kXuReplySize, 0);
  EXPECT_EQ(xu->SendRequest(34, block.data()), static_cast<HResult>(0x80070057u));
  EXPECT_EQ(xu->SendRequest(35, nullptr), hr::Pointer);
  block[0] = 0x1D, block[1] = 0x10, block[2] = 0x01, block[3] = 15;  // 4125 data bytes
  EXPECT_EQ(xu->SendRequest(35, block.data()), static_cast<HResult>(0x80070057u));
  block[0] = 0x01, block[1] = 0x10, block[2] = 0x81;  // GET of 4097 bytes
  EXPECT_EQ(xu->SendRequest(35, block.data()), hr::Ok);
  EXPECT_EQ(xu->ReadReply(35, reply.data()), static_cast<HResult>(0x80070057u));
  block[2] = 0x82;  // no such request code
  EXPECT_EQ(xu->SendRequest(35, block.data()), static_cast<HResult>(0x80070057u));
  EXPECT_TRUE(session->traceLines().empty());
  EXPECT_EQ(session->camera(0).requestCount(), 0u);
}

}  // namespace
}  // namespace qv::sim::test
