// Requests, registers, the SPI master and the trace of one simulated camera.

#include <gtest/gtest.h>

#include "sim_host.h"

namespace qv::sim::test {
namespace {

TEST(SimTrace, RequestsOfEachKindAreTracedByteExact) {
  auto session = openScene(oneCamera());
  Host host(*session);
  const std::size_t start = session->traceLines().size();
  EXPECT_EQ(host.set(2, {0xFF, 0x20}), hr::Ok);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(host.get(3, 1, out), hr::Ok);
  EXPECT_EQ(out[0], 0x8A);
  std::uint32_t length = 0;
  EXPECT_EQ(host.len(15, length), hr::Ok);
  EXPECT_EQ(length, 4096u);
  EXPECT_EQ(host.get(99, 2, out), hr::NotFound);
  session->clock().Sleep(300);
  EXPECT_EQ(linesFrom(*session, start),
            (std::vector<std::string>{"0 SET 2 FF 20", "0 GET 3 1 8A", "0 LEN 15 4096",
                                      "0 GET 99 2 !80070490", "SLEEP 300"}));
}

TEST(SimTrace, WrongPropertySetIsRefusedAndTraced) {
  auto session = openScene(oneCamera());
  Host host(*session, 0, false, 0, XU_GUID_SECONDARY);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(host.get(2, 2, out), hr::SetNotFound);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0xEE, 0xEE}));  // nothing written
  EXPECT_EQ(session->traceLines().back(), "0 GET 2 2 !80070492");
}

TEST(SimChip, FlashIdentificationThroughSpiRegisters) {
  auto session = openScene(oneCamera());
  Host host(*session);
  EXPECT_EQ(host.readId(0x90), (std::array<std::uint8_t, 3>{0xC8, 0x05, 0xC8}));
  EXPECT_EQ(host.readStatus(), 0x0C);
}

// The host's SPI traffic reaches the flash on every family, but writes it
// only on 102 to 105: on 106 to 108 the flash identifies itself and reads,
// and a status write, an erase and a program change nothing.
TEST(SimChip, HostSpiWritesOnlyOnFamiliesThatLetTheHostDriveTheFlash) {
  for (const int chipId : {0x8A, 0xB1, 0xD1}) {
    SCOPED_TRACE(chipId);
    auto session = openScene(oneCamera("\"chip_id\": " + std::to_string(chipId)));
    Host host(*session);
    const bool hostWrites = chipId == 0x8A;
    EXPECT_EQ(host.readId(0x90), (std::array<std::uint8_t, 3>{0xC8, 0x05, 0xC8}));
    host.writeStatus(0x00);
    EXPECT_EQ(host.waitReady(), hostWrites ? 0x00 : 0x0C);
    host.command({0x06});
    host.command({0x20, 0x00, 0x10, 0x00});
    host.waitReady();
    host.pageProgram(0x1000, {0x12, 0x34});
    host.waitReady();
    const auto flash = host.model().flash();
    EXPECT_EQ(flash[0x1000], hostWrites ? 0x12 : 0xFF);
    EXPECT_EQ(flash[0x1001], hostWrites ? 0x34 : 0xFF);
  }
}

}  // namespace
}  // namespace qv::sim::test
