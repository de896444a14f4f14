// The simulator's accounting for the benchmark: where the simulated time
// went, which busy periods the flash had and for whom, and a request path
// that builds no trace line when none is wanted.

#include <gtest/gtest.h>

#include "sim_host.h"

namespace qv::sim::test {
namespace {

std::uint64_t flashBusy(const std::array<std::uint64_t, kBusyKindCount>& counts, BusyKind kind) {
  return counts[static_cast<std::size_t>(kind)];
}

struct TransferCase {
  const char* what;
  XuRequest kind;
  std::uint32_t selector;
  std::uint32_t length;
  std::uint64_t bytes;
  std::uint64_t ns;
};

TEST(SimAccounting, EachRequestIsChargedItsTransferCost) {
  const TransferCase cases[] = {
      {"SET of 2 bytes", XuRequest::Set, 2, 2, 2, 250'125},
      {"GET of 1 byte", XuRequest::Get, 3, 1, 1, 250'062},
      {"GET-LENGTH", XuRequest::Len, 10, 0, 2, 250'125},
      {"SET of 4096 bytes", XuRequest::Set, 16, 4096, 4096, 506'000},
  };
  for (const TransferCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto session = openScene(oneCamera());
    CameraModel& model = session->camera(0);
    std::vector<std::uint8_t> data(c.length, 0);
    std::uint32_t reported = 0;
    const std::uint64_t before = session->clock().NowMicroseconds();
    (void)model.request(c.kind, c.selector, data.data(), c.length, reported);
    EXPECT_EQ(model.accounting().requests, 1u);
    EXPECT_EQ(model.accounting().bytes, c.bytes);
    EXPECT_EQ(model.accounting().transferNs, c.ns);
    EXPECT_EQ(model.accounting().engineNs, 0u);
    EXPECT_EQ(session->clock().NowMicroseconds() - before, c.ns / 1000);
  }
}

TEST(SimAccounting, TimeIsSleepsTransfersAndEngineWithBusyPeriodsByDriver) {
  auto session = openScene(oneCamera());
  Host host(*session);
  host.loadTable(kTables[0]);
  // The host writes the status register and polls until the write is done.
  host.writeStatus(0x00);
  host.waitReady();
  // The engine erases a sector and programs 16 pages for one block.
  ASSERT_EQ(host.set(9, {1}), hr::Ok);
  ASSERT_EQ(host.set(10, std::vector<std::uint8_t>(4096, 0x5A)), hr::Ok);
  session->clock().Sleep(300);

  const RequestAccounting& r = host.model().accounting();
  const FlashAccounting& f = host.model().flashChip().accounting();
  EXPECT_EQ(session->sleptNs(), 300'000'000u);
  EXPECT_EQ(r.requests, host.model().requestCount());
  EXPECT_EQ((session->sleptNs() + r.transferNs + r.engineNs) / 1000,
            session->clock().NowMicroseconds());
  EXPECT_EQ(r.spiBusyAnswers, 0u);  // one SPI byte is far shorter than a poll

  EXPECT_EQ(flashBusy(f.hostBusy, BusyKind::StatusWrite), 1u);
  EXPECT_EQ(flashBusy(f.hostBusy, BusyKind::PageProgram), 0u);
  // 5 ms of status write against 3.5 ms transactions: at least one answer
  // with write-in-progress set, and no more than 5 ms of polls hold.
  EXPECT_GE(f.hostBusyStatusReads, 1u);
  EXPECT_LE(f.hostBusyStatusReads, 5u);
  // Block 0: the sectors of address 0 and of the header-rewrite offset
  // (0xB70A on family 104) are erased first, and 16 pages programmed.
  EXPECT_EQ(flashBusy(f.engineBusy, BusyKind::SectorErase), 2u);
  EXPECT_EQ(flashBusy(f.engineBusy, BusyKind::PageProgram), 16u);
  EXPECT_GE(r.engineNs, 2u * 50'000'000 + 16u * 700'000);
}

TEST(SimAccounting, WithoutKeptLinesAndFileNothingIsTraced) {
  auto session = openScene(oneCamera());
  Host host(*session);
  session->setKeepTraceLines(false);
  const std::size_t lines = session->traceLines().size();
  host.writeReg(0x2020, 0x80);
  std::vector<std::uint8_t> out;
  (void)host.get(99, 2, out);  // refused, still not traced
  session->clock().Sleep(50);
  EXPECT_EQ(session->traceLines().size(), lines);
  EXPECT_EQ(host.model().accounting().requests, 3u);
  EXPECT_EQ(host.model().peekRegister(0x2020), 0x80);
}

}  // namespace
}  // namespace qv::sim::test
