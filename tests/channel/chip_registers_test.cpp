// Chip registers and serial-flash primitives, request for request, on a
// camera opened over the fake camera stack.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "camera/camera_device.h"
#include "flash/checked_flash_ops.h"
#include "tests/support/fake_rig.h"

namespace qv {
namespace {

using test::FakeChip;
using test::FakeDevice;
using test::FakeRig;
using Trace = std::vector<std::string>;

// A camera of the given chip ID opened on the KS route (or the private
// route), with the chip's trace cleared after the open.
struct Opened {
  FakeRig rig;
  FakeChip* chip;
  std::unique_ptr<CCameraDevice> device;
  CCameraCore* core;
  explicit Opened(std::uint8_t chipId, bool privateRoute = false) {
    FakeDevice d;
    d.chip->chipId = chipId;
    d.chip->csAssert = (chipId >> 4) == 0x6 || (chipId >> 4) == 0x9 ? 2 : 0;
    if (privateRoute) {
      d.topology = false;
      d.privateInterface = true;
    }
    chip = &rig.addDevice(d);
    device = std::make_unique<CCameraDevice>(rig.platform);
    EXPECT_EQ(device->OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    core = device->core();
    chip->trace.clear();
    chip->requests = 0;
  }
  Trace take() {
    Trace t = chip->trace;
    chip->trace.clear();
    return t;
  }
};

// The requests of one register write / read / idle poll.
Trace W(std::uint16_t reg, std::uint8_t v) {
  return {"SET 2 " + FakeChip::hex(reg & 0xFF) + " " + FakeChip::hex(reg >> 8),
          "SET 3 " + FakeChip::hex(v)};
}
Trace R(std::uint16_t reg, std::uint8_t v) {
  return {"SET 2 " + FakeChip::hex(reg & 0xFF) + " " + FakeChip::hex(reg >> 8),
          "GET 3 1 " + FakeChip::hex(v)};
}
Trace cat(std::initializer_list<Trace> parts) {
  Trace all;
  for (const Trace& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
const Trace kIdle = R(0x2021, 0x00);

TEST(RegisterTest, WriteAndReadCarryTheAddressLittleEndian) {
  Opened o(0x8A);
  EXPECT_EQ(o.core->WriteRegister(0x2041, 0x02), hr::Ok);
  std::uint8_t value = 0;
  EXPECT_EQ(o.core->ReadRegister(0x20FF, value), hr::Ok);
  EXPECT_EQ(value, 0x8A);
  EXPECT_EQ(o.take(), cat({W(0x2041, 0x02), R(0x20FF, 0x8A)}));
}

TEST(RegisterTest, DataSetGoesOutEvenWhenTheAddressSetFails) {
  Opened o(0x8A);
  o.chip->failFrom = 1;
  o.chip->failCount = 1;
  EXPECT_EQ(o.core->WriteRegister(0x2041, 0x02), hr::Ok);
  EXPECT_EQ(o.take(), (Trace{"SET 2 !8007001F", "SET 3 02"}));
}

TEST(FlashSequenceTest, WriteEnableOnFamily104IsTenRequests) {
  Opened o(0x8A);
  EXPECT_EQ(o.core->FlashWriteEnable(), hr::Ok);
  EXPECT_EQ(o.take(), (Trace{"SET 2 20 20", "SET 3 80", "SET 2 25 20", "SET 3 00", "SET 2 22 20",
                             "SET 3 06", "SET 2 21 20", "GET 3 1 00", "SET 2 25 20", "SET 3 02"}));
}

TEST(FlashSequenceTest, Family102SelectsWithTwoAndReleasesWithZero) {
  Opened o(0x6A);
  EXPECT_EQ(g_spiCsAssertValue, 2);
  o.core->FlashEnableWriteStatus();
  EXPECT_EQ(o.take(),
            cat({W(0x2020, 0x80), W(0x2025, 0x02), W(0x2022, 0x50), kIdle, W(0x2025, 0x00)}));
}

TEST(FlashSequenceTest, BusyPollsRepeatUntilIdle) {
  Opened o(0x8A);
  o.chip->busyPollsPerByte = 2;
  EXPECT_EQ(o.core->FlashWriteEnable(), hr::Ok);
  EXPECT_EQ(o.take(), cat({W(0x2020, 0x80), W(0x2025, 0x00), W(0x2022, 0x06), R(0x2021, 0x01),
                           R(0x2021, 0x01), kIdle, W(0x2025, 0x02)}));
  EXPECT_FALSE(o.core->faulted());
}

Trace statusPoll(std::uint8_t status, std::uint8_t cs = 0) {
  return cat({W(0x2025, cs), W(0x2022, 0x05), kIdle, R(0x2023, 0x00), kIdle, R(0x2024, status),
              W(0x2025, static_cast<std::uint8_t>(2 - cs))});
}

TEST(FlashSequenceTest, ReadStatusPollsWholeTransactionsUntilWipClears) {
  Opened o(0x8A);
  o.chip->status = 0x0C;
  EXPECT_EQ(o.core->FlashReadStatus(), 0x0C);
  EXPECT_EQ(o.take(), cat({W(0x2020, 0x80), statusPoll(0x0C)}));
}

TEST(FlashSequenceTest, WriteStatusWithTheCurrentValueOnlyReads) {
  Opened o(0x8A);
  o.chip->status = 0x0C;
  o.core->FlashWriteStatus(0x0C, 0);
  EXPECT_EQ(o.take(), cat({W(0x2020, 0x80), statusPoll(0x0C)}));
  EXPECT_TRUE(o.chip->statusWrites.empty());
}

TEST(FlashSequenceTest, WriteStatusEnablesWith50Or06ThenWaits) {
  Opened o(0x8A);
  o.chip->status = 0x0C;
  o.chip->wipPollsAfterWrite = 2;
  o.core->FlashWriteStatus(0x00, 1);
  EXPECT_EQ(o.take(),
            cat({W(0x2020, 0x80), statusPoll(0x0C),                                          //
                 W(0x2020, 0x80), W(0x2025, 0x00), W(0x2022, 0x50), kIdle, W(0x2025, 0x02),  //
                 W(0x2020, 0x80), W(0x2025, 0x00), W(0x2022, 0x01), kIdle, W(0x2022, 0x00), kIdle,
                 W(0x2025, 0x02),  //
                 W(0x2020, 0x80), statusPoll(0x01), statusPoll(0x01), statusPoll(0x00)}));
  EXPECT_EQ(o.chip->statusWrites, (std::vector<std::uint8_t>{0x00}));

  for (std::int32_t other : {0, 2, -1}) {
    o.chip->status = 0x0C;
    o.chip->wipPollsAfterWrite = 0;
    o.core->FlashWriteStatus(0x00, other);
    const Trace t = o.take();
    ASSERT_GT(t.size(), 22u);
    EXPECT_EQ(t[20], "SET 2 22 20");
    EXPECT_EQ(t[21], "SET 3 06") << other;
  }
}

TEST(FlashSequenceTest, PageProgramSendsOpcodeAddressAndData) {
  Opened o(0x8A);
  PageProgramRequest request{{0x00, 0x12, 0x34}, {0xAA, 0xBB}, 2};
  EXPECT_EQ(o.core->FlashWritePage(request), 1);
  ASSERT_EQ(o.chip->programs.size(), 1u);
  EXPECT_EQ(o.chip->programs[0], (std::vector<std::uint8_t>{0x00, 0x12, 0x34, 0xAA, 0xBB}));
  const Trace t = o.take();
  const Trace tail = cat({W(0x2025, 0x02), W(0x2020, 0x80), statusPoll(0x01), statusPoll(0x00),
                          W(0x2020, 0x80), W(0x2022, 0x04), kIdle, W(0x2020, 0x00)});
  ASSERT_GT(t.size(), tail.size());
  EXPECT_EQ(Trace(t.end() - static_cast<std::ptrdiff_t>(tail.size()), t.end()), tail);
  // REG_SPI_CTRL 0x80, write enable (10), select, then 1 + 3 + 2 bytes.
  EXPECT_EQ(Trace(t.begin(), t.begin() + 16),
            cat({W(0x2020, 0x80), W(0x2020, 0x80), W(0x2025, 0x00), W(0x2022, 0x06), kIdle,
                 W(0x2025, 0x02), W(0x2025, 0x00), W(0x2022, 0x02)}));
}

TEST(FlashSequenceTest, PageProgramStopsAtTheFirstFailedWrite) {
  Opened o(0x8A);
  PageProgramRequest request{{0x00, 0x00, 0x00}, {0x55}, 1};
  // Requests: CTRL (2), write enable (10), select (2), opcode TX: its data
  // SET is the 16th request.
  o.chip->failFrom = 16;
  o.chip->failCount = 1;
  EXPECT_EQ(o.core->FlashWritePage(request), 0);
  const Trace t = o.take();
  EXPECT_EQ(t.size(), 16u);
  EXPECT_EQ(t.back(), "SET 3 !8007001F");  // nothing after it, not even a release
}

TEST(FlashSequenceTest, OverlongRecordsAreRefusedUnsent) {
  Opened o(0x8A);
  PageProgramRequest request{};
  request.length = 34;
  EXPECT_EQ(o.core->FlashWritePage(request), 0);
  std::uint8_t data[65] = {};
  EXPECT_TRUE(failed(o.core->WriteFlashBytes(0, 34, data)));
  EXPECT_TRUE(o.take().empty());
  EXPECT_FALSE(o.core->faulted());

  Opened six(0xB1);
  EXPECT_TRUE(failed(six.core->WriteFlashBytes(0, 64, data)));
  EXPECT_EQ(six.core->WriteFlashBytes(0, 63, data), hr::Ok);
  Opened seven(0xC1);
  EXPECT_TRUE(failed(seven.core->XuWriteFlashBytes(0, 65, data)));
  EXPECT_TRUE(seven.take().empty());
  EXPECT_EQ(seven.core->XuWriteFlashBytes(0, 64, data), hr::Ok);
}

TEST(FlashSequenceTest, WriteFlashBytesSpiRouteDropsHighAddressBits) {
  Opened o(0x8A);
  o.chip->wipPollsAfterWrite = 0;
  const std::uint8_t data[2] = {0x89, 0x16};
  EXPECT_EQ(o.core->WriteFlashBytes(0x1ABCD, 2, data), hr::Ok);
  ASSERT_EQ(o.chip->programs.size(), 1u);
  EXPECT_EQ(o.chip->programs[0], (std::vector<std::uint8_t>{0x00, 0xAB, 0xCD, 0x89, 0x16}));
  EXPECT_EQ(o.core->WriteFlashBytes(0x0010, 0, nullptr), hr::Ok);
  ASSERT_EQ(o.chip->programs.size(), 2u);
  EXPECT_EQ(o.chip->programs[1], (std::vector<std::uint8_t>{0x00, 0x00, 0x10}));
}

std::string packet(std::initializer_list<std::uint8_t> head, std::size_t size = 64) {
  std::string s = "SET 22";
  std::size_t n = 0;
  for (std::uint8_t b : head) {
    FakeChip::appendHex(s, b);
    ++n;
  }
  for (; n < size; ++n) s += " FF";
  return s;
}

TEST(FlashSequenceTest, ExtensionUnitWritePackets) {
  const std::uint8_t six[6] = {1, 2, 3, 4, 5, 6};
  Opened f106(0xB1);
  EXPECT_EQ(f106.core->WriteFlashBytes(0x1F00A, 6, six), hr::Ok);
  EXPECT_EQ(f106.take(), (Trace{"SET 14 0A F0 00 00", packet({6, 1, 2, 3, 4, 5, 6})}));
  EXPECT_EQ(f106.core->WriteFlashBytes(0, 0, nullptr), hr::Ok);
  EXPECT_EQ(f106.take(), (Trace{"SET 14 00 00 00 00", packet({0})}));

  Opened f107(0xC1);
  EXPECT_EQ(f107.core->WriteFlashBytes(0x8008, 6, six), hr::Ok);
  EXPECT_EQ(f107.take(), (Trace{"SET 14 08 80 00 00", packet({1, 2, 3, 4, 5, 6})}));

  // Family 108 writes through the extension unit too.
  Opened f108(0xD1);
  EXPECT_EQ(f108.core->WriteFlashBytes(0, 1, six), hr::Ok);
  EXPECT_EQ(f108.take(), (Trace{"SET 14 00 00 00 00", packet({1})}));
}

TEST(FlashIdTest, JedecIdReadsStraightAfterTheCommand) {
  Opened o(0x8A);
  std::uint8_t id[3] = {};
  EXPECT_EQ(o.core->ReadFlashId(id, 0x9F), 1);
  EXPECT_EQ(id[0], 0xC8);
  EXPECT_EQ(id[1], 0x40);
  EXPECT_EQ(id[2], 0x10);
  Trace expected = cat({W(0x2020, 0x80), W(0x2022, 0x04), kIdle, W(0x2025, 0x00), W(0x2022, 0x9F)});
  for (std::uint8_t b : {0xC8, 0x40, 0x10}) {
    expected = cat({expected, R(0x2023, 0x00), kIdle, R(0x2024, b), kIdle});
  }
  expected = cat({expected, W(0x2025, 0x02)});
  EXPECT_EQ(o.take(), expected);
}

TEST(FlashIdTest, ManufacturerIdSendsThreeAddressBytes) {
  for (std::uint8_t command : {0x90, 0xAB}) {
    Opened o(0x6A);  // family 102: select 2
    std::uint8_t id[3] = {};
    EXPECT_EQ(o.core->ReadFlashId(id, command), 1);
    Trace expected =
        cat({W(0x2020, 0x80), W(0x2022, 0x04), kIdle, W(0x2025, 0x02), W(0x2022, command), kIdle,
             W(0x2022, 0x00), kIdle, W(0x2022, 0x00), kIdle, W(0x2022, 0x00), kIdle});
    const std::uint8_t* reply = command == 0x90 ? o.chip->rems : o.chip->res;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(id[i], reply[i]);
      expected = cat({expected, R(0x2023, 0x00), kIdle, R(0x2024, reply[i]), kIdle});
    }
    expected = cat({expected, W(0x2025, 0x00)});
    EXPECT_EQ(o.take(), expected);
  }
}

TEST(FlashIdTest, Families106And107UseTheIdControlAnd108TheSpiMaster) {
  for (std::uint8_t chipId : {0xB1, 0xC1}) {
    Opened o(chipId);
    std::uint8_t id[3] = {};
    EXPECT_EQ(o.core->ReadFlashId(id, 0x9F), 1);
    EXPECT_EQ(o.take(), (Trace{"SET 7 0D", "SET 8 9F", "GET 23 3 11 22 33"}));
    EXPECT_EQ(id[2], 0x33);
  }
  Opened o(0xD1);
  std::uint8_t id[3] = {};
  o.core->ReadFlashId(id, 0x9F);
  EXPECT_EQ(o.take()[0], "SET 2 20 20");
  EXPECT_EQ(id[0], 0xC8);
}

TEST(ResetChipTest, FiveWritesOrStopAtTheFirstFailure) {
  Opened o(0x8A);
  EXPECT_EQ(o.core->ResetChip(), 1);
  EXPECT_EQ(o.take(), cat({W(0x2030, 0xFF), W(0x2031, 0x00), W(0x2032, 0x00), W(0x2033, 0x02),
                           W(0x2034, 0x01)}));
  o.chip->failFrom = o.chip->requests + 6;  // the third write's data SET
  o.chip->failCount = 1;
  EXPECT_EQ(o.core->ResetChip(), 0);
  const Trace t = o.take();
  EXPECT_EQ(t.size(), 6u);
  EXPECT_EQ(t.back(), "SET 3 !8007001F");
}

TEST(PrivateRouteTest, PrimitivesRunThroughThePrivateInterface) {
  Opened o(0x8A, /*privateRoute=*/true);
  EXPECT_EQ(o.core->FlashWriteEnable(), hr::Ok);
  EXPECT_EQ(o.take().size(), 10u);
}

// ---- Bounded waits ----------------------------------------------------------

TEST(BoundedWaitTest, StuckSpiMasterGivesUpAndFaultsTheCore) {
  Opened o(0x8A);
  o.chip->spiBusyStuck = true;
  EXPECT_FALSE(o.core->WaitSpiIdle());
  EXPECT_TRUE(o.core->faulted());
  const Trace t = o.take();
  EXPECT_EQ(t.size(), 2u * kSpiIdleMaxPolls);

  // Afterwards the SPI flash operations send nothing.
  EXPECT_FALSE(o.core->WaitSpiIdle());
  EXPECT_TRUE(failed(o.core->FlashWriteEnable()));
  EXPECT_EQ(o.core->FlashReadStatus(), kFlashStatusUnknown);
  o.core->FlashWriteStatus(0x00, 0);
  o.core->SendSpiIdleByte();
  PageProgramRequest request{{0, 0, 0}, {1}, 1};
  EXPECT_EQ(o.core->FlashWritePage(request), 0);
  EXPECT_TRUE(failed(o.core->WriteFlashBytes(0, 1, request.data)));
  std::uint8_t id[3] = {0, 0, 0};
  EXPECT_EQ(o.core->ReadFlashId(id, 0x9F), 1);
  EXPECT_EQ(id[0], 0xFF);
  EXPECT_TRUE(o.take().empty());

  // Direct register and extension-unit requests still go out.
  EXPECT_EQ(o.core->ResetChip(), 1);
  EXPECT_EQ(o.take().size(), 10u);
}

// A wait that gives up while the flash is selected: the sequence releases
// it once (the last requests sent), the core is faulted, and nothing
// follows. The busy reads from `failFrom` on fail until the wait gives up
// (kWaitMaxReadFailures reads in a row).
struct SelectedGiveUp {
  const char* name;
  std::uint8_t chipId;
  std::uint8_t status;     // the flash's status register
  std::uint32_t failFrom;  // the first failing busy GET after the select
  std::function<void(CCameraCore&)> sequence;
};

TEST(BoundedWaitTest, AWaitGivingUpWithTheFlashSelectedReleasesItOnce) {
  const SelectedGiveUp cases[] = {
      // CTRL, select, TX, then the busy read (SET 7, GET 8).
      {"write enable", 0x8A, 0x00, 8, [](CCameraCore& c) { (void)c.FlashWriteEnable(); }},
      {"write enable, family 102", 0x6A, 0x00, 8,
       [](CCameraCore& c) { (void)c.FlashEnableWriteStatus(); }},
      {"read status, after the opcode", 0x8A, 0x00, 8,
       [](CCameraCore& c) { (void)c.FlashReadStatus(); }},
      {"read status, before the status byte", 0x8A, 0x00, 12,
       [](CCameraCore& c) { (void)c.FlashReadStatus(); }},
      // A read status (16 requests) and a write enable (10) before the
      // status write's CTRL, select and opcode.
      {"write status", 0x8A, 0x00, 34, [](CCameraCore& c) { c.FlashWriteStatus(0x0C, 0); }},
      // The idle byte (6 requests), select, command, then its wait.
      {"read ID 0x90", 0x8A, 0x00, 12,
       [](CCameraCore& c) {
         std::uint8_t id[3];
         (void)c.ReadFlashId(id, 0x90);
       }},
      // 0x9F: no wait after the command; the first one follows RX0.
      {"read ID 0x9F, family 102", 0x6A, 0x00, 14,
       [](CCameraCore& c) {
         std::uint8_t id[3];
         (void)c.ReadFlashId(id, 0x9F);
       }},
      // The sector-pair route's status clear on a protected flash.
      {"status clear", 0x8A, 0x0C, 34, [](CCameraCore& c) { (void)ClearFlashStatusChecked(c); }},
  };
  for (const SelectedGiveUp& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o(c.chipId);
    o.chip->status = c.status;
    o.chip->failFrom = c.failFrom;
    o.chip->failCount = 2 * kWaitMaxReadFailures - 1;
    c.sequence(*o.core);
    EXPECT_TRUE(o.core->faulted());
    const Trace t = o.take();
    ASSERT_GE(t.size(), 2 * kWaitMaxReadFailures + 2);
    const std::uint8_t release = static_cast<std::uint8_t>(2 - o.chip->csAssert);
    // The failing busy reads, then the release, and nothing after it.
    EXPECT_EQ(t[t.size() - 3].substr(0, 6), "GET 3 ");
    EXPECT_NE(t[t.size() - 3].find('!'), std::string::npos);
    EXPECT_EQ(Trace(t.end() - 2, t.end()), W(0x2025, release));
    EXPECT_EQ(o.chip->regs[0x2025], release);
    // Later flash sequences, the status clear included, send nothing.
    (void)o.core->FlashWriteEnable();
    EXPECT_FALSE(ClearFlashStatusChecked(*o.core));
    EXPECT_TRUE(o.take().empty());
  }
}

TEST(BoundedWaitTest, StuckSpiMasterEndsOnTimeWhenPollsAreSlow) {
  Opened o(0x8A);
  o.chip->spiBusyStuck = true;
  o.chip->microsecondsPerRequest = 20'000;  // a loaded host: 20 ms per request
  EXPECT_FALSE(o.core->WaitSpiIdle());
  // 100 ms at 40 ms per poll: the minimum of four polls decides.
  EXPECT_EQ(o.take().size(), 2u * kWaitMinPolls);
}

TEST(BoundedWaitTest, StuckWriteInProgressEndsOnTime) {
  Opened o(0x8A);
  o.chip->status = 0x0C;
  o.chip->wipStuck = true;
  o.chip->wipPollsAfterWrite = 0;
  o.core->FlashWriteStatus(0x00, 0);  // the first read already never settles
  EXPECT_TRUE(o.core->faulted());
  EXPECT_TRUE(o.chip->statusWrites.empty());
  const std::size_t requests = o.take().size();
  // 0.5 ms per request, 14 requests per poll: 5 s is about 715 polls.
  EXPECT_GT(requests, 700u * 14u);
  EXPECT_LT(requests, 730u * 14u);
  EXPECT_GE(o.rig.os.clock.now, kFlashWipMaxMicroseconds);
}

TEST(BoundedWaitTest, StuckWriteInProgressEndsOnCountWhenTheClockStands) {
  Opened o(0x8A);
  o.chip->status = 0x0D;
  o.chip->microsecondsPerRequest = 0;
  EXPECT_EQ(o.core->FlashReadStatus(), kFlashStatusUnknown);
  EXPECT_TRUE(o.core->faulted());
  EXPECT_EQ(o.take().size(), 2u + 14u * kFlashWipMaxPolls);
}

TEST(BoundedWaitTest, PageProgramThatNeverFinishesIsNotReportedWritten) {
  Opened o(0x8A);
  o.chip->wipStuck = true;
  PageProgramRequest request{{0x00, 0x00, 0x00}, {0x55}, 1};
  EXPECT_EQ(o.core->FlashWritePage(request), 0);
  EXPECT_TRUE(o.core->faulted());
  EXPECT_EQ(o.chip->programs.size(), 1u);  // sent, but its end never seen
}

TEST(BoundedWaitTest, UnpluggedCameraEndsWaitsQuickly) {
  Opened o(0x8A);
  o.chip->unplugAfter = o.chip->requests + 3;
  o.chip->microsecondsPerRequest = 0;
  EXPECT_EQ(o.core->FlashReadStatus(), kFlashStatusUnknown);
  EXPECT_TRUE(o.core->faulted());
  // CTRL, select, TX (6 requests), the failing busy reads, then one
  // release attempt (2 requests).
  EXPECT_LE(o.take().size(), 8u + 2u * kWaitMaxReadFailures);
}

TEST(BoundedWaitTest, FewFailedReadsInsideAWaitAreTolerated) {
  Opened o(0x8A);
  // The busy GET of the write enable's wait fails three times in a row.
  o.chip->failFrom = 8;
  o.chip->failCount = 5;  // requests 8..12: GET, SET, GET, SET, GET
  EXPECT_EQ(o.core->FlashWriteEnable(), hr::Ok);
  EXPECT_FALSE(o.core->faulted());
}

}  // namespace
}  // namespace qv
