// The checked serial-flash sequences send exactly the requests of the
// primitives they stand in for, and report the failures those leave unseen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/checked_flash_ops.h"
#include "tests/flash/sim_rig.h"

namespace qv::test {
namespace {

// Runs `plain` on one fresh camera and `checked` on another and compares
// the requests they sent.
template <typename Plain, typename Checked>
void expectSameRequests(const std::string& members, Plain plain, Checked checked,
                        bool expectedResult = true) {
  SimRig a;
  a.open(members);
  const std::size_t fromA = a.traceSize();
  plain(a.core());
  SimRig b;
  b.open(members);
  const std::size_t fromB = b.traceSize();
  EXPECT_EQ(checked(b.core()), expectedResult);
  EXPECT_EQ(a.trace(fromA), b.trace(fromB));
  EXPECT_FALSE(a.trace(fromA).empty());
  const auto fa = a.camera().flash();
  const auto fb = b.camera().flash();
  EXPECT_TRUE(std::equal(fa.begin(), fa.end(), fb.begin()));
  EXPECT_EQ(a.camera().statusRegister(), b.camera().statusRegister());
}

const std::uint8_t kBytes[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};

TEST(CheckedOps, StatusWriteSendsTheRequestsOfFlashWriteStatus) {
  for (const char* members : {"", R"("chip_id": 97)", R"("flash": "SST25VF512")",
                              R"("status_register": 0)", R"("route": "private")"}) {
    SCOPED_TRACE(members);
    for (std::uint8_t value : {0x00, 0x0C}) {
      for (int ewsr : {0, 1}) {
        expectSameRequests(
            members, [&](CCameraCore& core) { core.FlashWriteStatus(value, ewsr); },
            [&](CCameraCore& core) { return WriteFlashStatusChecked(core, value, ewsr); });
      }
    }
  }
}

TEST(CheckedOps, FlashBytesSendTheRequestsOfWriteFlashBytes) {
  for (const char* members :
       {"", R"("chip_id": 97)", R"("chip_id": 177)", R"("chip_id": 193)", R"("chip_id": 209)"}) {
    SCOPED_TRACE(members);
    for (std::uint32_t length : {0u, 1u, 6u}) {
      for (std::uint32_t address : {0x0000u, 0xB70Au, 0x1F000u}) {
        // The status register must allow programming for the contents to
        // tell anything.
        const std::string m =
            std::string(members) + (members[0] ? ", " : "") + R"("status_register": 0)";
        expectSameRequests(
            m, [&](CCameraCore& core) { (void)core.WriteFlashBytes(address, length, kBytes); },
            [&](CCameraCore& core) {
              return WriteFlashBytesChecked(core, address, length, kBytes);
            });
      }
    }
  }
}

TEST(CheckedOps, StatusClearSendsTheStatusWriteWithoutItsComparison) {
  SimRig rig;
  rig.open();
  const std::size_t from = rig.traceSize();
  EXPECT_TRUE(ClearFlashStatusChecked(rig.core()));
  EXPECT_EQ(rig.camera().statusRegister(), 0x00);
  const auto txs = linesStartingWith(rig.trace(from), {"0 SET 3 06", "0 SET 3 01"});
  EXPECT_EQ(txs, (std::vector<std::string>{"0 SET 3 06", "0 SET 3 01"}));
  // Already clear: one status read only.
  const std::size_t again = rig.traceSize();
  EXPECT_TRUE(ClearFlashStatusChecked(rig.core()));
  EXPECT_TRUE(linesStartingWith(rig.trace(again), {"0 SET 3 06", "0 SET 3 01"}).empty());
}

// Fails the `occurrence`-th request starting with `prefix` of `run` and
// returns what the checked sequence reported.
template <typename Run>
bool withFault(const std::string& members, const std::string& prefix, int occurrence, Run run) {
  std::uint32_t n = 0;
  {
    SimRig probe;
    probe.open(members);
    EXPECT_TRUE(run(probe.core()));
    n = probe.requestNumber(prefix, occurrence);
  }
  EXPECT_NE(n, 0u) << prefix;
  SimRig rig;
  rig.open((members.empty() ? "" : members + ", ") + R"("faults": [{"request": )" +
           std::to_string(n) + R"(, "result": "0x8007001F"}])");
  return run(rig.core());
}

TEST(CheckedOps, EveryRequestOfAStatusWriteCounts) {
  auto unprotect = [](CCameraCore& core) { return WriteFlashStatusChecked(core, 0x00, 0); };
  // Write enable, status opcode and value, chip select, and the address
  // requests in front of them; the status reads before and after. (A busy
  // poll that fails is polled again and is harmless.)
  const std::pair<const char*, int> requests[] = {
      {"0 SET 3 06", 0},    {"0 SET 3 01", 0},    {"0 SET 2 22 20", 2},
      {"0 SET 2 25 20", 0}, {"0 SET 2 20 20", 0}, {"0 GET 3", 3},
      {"0 SET 2 24 20", 0}, {"0 SET 2 25 20", 7}, {"0 SET 2 23 20", 1},
  };
  for (const auto& [prefix, occurrence] : requests) {
    SCOPED_TRACE(std::string(prefix) + " #" + std::to_string(occurrence));
    EXPECT_FALSE(withFault("", prefix, occurrence, unprotect));
  }
}

TEST(CheckedOps, EveryRequestOfAPageProgramCounts) {
  auto write = [](CCameraCore& core) { return WriteFlashBytesChecked(core, 0x100, 6, kBytes); };
  const std::string members = R"("status_register": 0)";
  const std::pair<const char*, int> requests[] = {
      {"0 SET 3 06", 0},    {"0 SET 2 22 20", 0}, {"0 SET 3 02", 1},    {"0 SET 3 9A", 0},
      {"0 SET 2 25 20", 2}, {"0 SET 3 00", 4},    {"0 SET 2 24 20", 0},
  };
  for (const auto& [prefix, occurrence] : requests) {
    SCOPED_TRACE(std::string(prefix) + " #" + std::to_string(occurrence));
    EXPECT_FALSE(withFault(members, prefix, occurrence, write));
  }
  // The extension-unit route of families 106 to 108: both packets count.
  auto xuWrite = [](CCameraCore& core) { return WriteFlashBytesChecked(core, 0x100, 6, kBytes); };
  EXPECT_FALSE(withFault(R"("chip_id": 177)", "0 SET 14 ", 0, xuWrite));
  EXPECT_FALSE(withFault(R"("chip_id": 177)", "0 SET 22 ", 0, xuWrite));
}

TEST(CheckedOps, RefusalsAndFaultedCores) {
  SimRig rig;
  rig.open(R"("faults": [{"spi_busy": "stuck"}])");
  EXPECT_FALSE(WriteFlashStatusChecked(rig.core(), 0x00, 0));
  EXPECT_TRUE(rig.core().faulted());
  // A faulted core sends nothing more.
  const std::size_t from = rig.traceSize();
  EXPECT_FALSE(WriteFlashStatusChecked(rig.core(), 0x00, 0));
  EXPECT_FALSE(WriteFlashBytesChecked(rig.core(), 0, 1, kBytes));
  EXPECT_EQ(rig.traceSize(), from);

  SimRig other;
  other.open();
  std::uint8_t many[40] = {};
  const std::size_t otherFrom = other.traceSize();
  EXPECT_FALSE(WriteFlashBytesChecked(other.core(), 0, 34, many));
  EXPECT_EQ(other.traceSize(), otherFrom);
}

TEST(CheckedOps, WipThatNeverClearsEnds) {
  SimRig rig;
  rig.open(R"("faults": [{"wip": "stuck"}])");
  EXPECT_FALSE(WriteFlashStatusChecked(rig.core(), 0x00, 0));
  EXPECT_TRUE(rig.core().faulted());
}

}  // namespace
}  // namespace qv::test
