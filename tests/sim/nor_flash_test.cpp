// The serial flash as real silicon behaves: programming clears bits within a
// page, erase sets them, the write-enable latch, block protection and the
// write-in-progress time on the simulated clock.

#include <gtest/gtest.h>

#include "sim/nor_flash.h"
#include "sim_host.h"

namespace qv::sim::test {
namespace {

class SimFlashTest : public ::testing::Test {
 protected:
  SimFlashTest()
      : flash_(*findFlashPart("GD25Q512"), std::vector<std::uint8_t>(65536, 0xFF), 0x00, clock_) {}

  void run(std::initializer_list<std::uint8_t> bytes) {
    flash_.select();
    for (std::uint8_t b : bytes) flash_.transfer(b);
    flash_.release();
  }
  void program(std::uint32_t address, std::initializer_list<std::uint8_t> data) {
    run({0x06});
    flash_.select();
    for (std::uint8_t b : {std::uint8_t{0x02}, std::uint8_t(address >> 16),
                           std::uint8_t(address >> 8), std::uint8_t(address)}) {
      flash_.transfer(b);
    }
    for (std::uint8_t b : data) flash_.transfer(b);
    flash_.release();
  }
  void settle() { clock_.advance(1'000'000'000); }
  std::uint8_t at(std::uint32_t address) const { return flash_.contents()[address]; }

  SimClock clock_{false};
  NorFlash flash_;
};

TEST_F(SimFlashTest, ProgramOnlyClearsBits) {
  program(0x10, {0xF0});
  settle();
  program(0x10, {0x3C});
  settle();
  EXPECT_EQ(at(0x10), 0x30);
}

// A stuck cell keeps what it holds when programmed; its neighbours in the
// same page program, and an erase still sets it.
TEST_F(SimFlashTest, AStuckCellDoesNotTakeAProgrammedValue) {
  flash_.addStuckCell(0x11);
  program(0x10, {0x12, 0x34, 0x56});
  settle();
  EXPECT_EQ(at(0x10), 0x12);
  EXPECT_EQ(at(0x11), 0xFF);
  EXPECT_EQ(at(0x12), 0x56);
  flash_.contents()[0x11] = 0x00;
  run({0x06});
  run({0x20, 0x00, 0x00, 0x00});  // sector erase
  settle();
  EXPECT_EQ(at(0x11), 0xFF);
  EXPECT_EQ(at(0x10), 0xFF);
}

TEST_F(SimFlashTest, ProgramWrapsWithinThePage) {
  program(0x1FE, {0x01, 0x02, 0x03, 0x04});
  settle();
  EXPECT_EQ(at(0x1FE), 0x01);
  EXPECT_EQ(at(0x1FF), 0x02);
  EXPECT_EQ(at(0x100), 0x03);  // back to the start of the same page
  EXPECT_EQ(at(0x101), 0x04);
  EXPECT_EQ(at(0x200), 0xFF);
}

TEST_F(SimFlashTest, WriteEnableLatchIsNeededAndClearedByEachOperation) {
  flash_.select();
  for (std::uint8_t b : {0x02, 0x00, 0x00, 0x05, 0x00}) flash_.transfer(b);
  flash_.release();
  EXPECT_EQ(at(5), 0xFF) << "program without the latch";

  program(5, {0x00});
  EXPECT_FALSE(flash_.writeEnabled());
  settle();
  EXPECT_EQ(at(5), 0x00);

  run({
      0x06,
  });
  run({0x20, 0x00, 0x00, 0x00});
  EXPECT_FALSE(flash_.writeEnabled());
  settle();
  EXPECT_EQ(at(5), 0xFF);

  run({0x06});
  run({0x01, 0x04});
  EXPECT_FALSE(flash_.writeEnabled());
  settle();
  EXPECT_EQ(flash_.status(), 0x04);

  run({0x06});
  run({0x04});  // write disable
  EXPECT_FALSE(flash_.writeEnabled());
}

TEST_F(SimFlashTest, BlockProtectionStopsProgramAndErase) {
  program(0x20, {0x00});
  settle();
  run({0x06});
  run({0x01, 0x0C});
  settle();
  program(0x21, {0x00});
  settle();
  EXPECT_EQ(at(0x21), 0xFF);
  run({0x06});
  run({0x20, 0x00, 0x00, 0x00});
  settle();
  EXPECT_EQ(at(0x20), 0x00);
  run({0x06});
  run({0xC7});
  settle();
  EXPECT_EQ(at(0x20), 0x00);
  // The engine override of families 106 to 108.
  flash_.setIgnoreProtection(true);
  program(0x21, {0x00});
  settle();
  EXPECT_EQ(at(0x21), 0x00);
}

TEST_F(SimFlashTest, WriteInProgressLastsThePartsTimeAndBlocksOtherCommands) {
  const FlashPart& part = *findFlashPart("GD25Q512");
  run({0x06});
  run({0x20, 0x00, 0x10, 0x00});
  EXPECT_EQ(flash_.status() & kStatusWip, kStatusWip);
  clock_.advance(std::uint64_t{part.times.sectorErase} * 1000 - 1);
  EXPECT_TRUE(flash_.busy());
  // Ignored while busy: write enable, read, identification.
  run({0x06});
  EXPECT_FALSE(flash_.writeEnabled());
  flash_.select();
  flash_.transfer(0x9F);
  EXPECT_EQ(flash_.transfer(0), 0xFF);
  flash_.release();
  // Read Status answers, repeatedly within one selection.
  flash_.select();
  flash_.transfer(0x05);
  EXPECT_EQ(flash_.transfer(0), 0x01);
  clock_.advance(1);
  EXPECT_EQ(flash_.transfer(0), 0x00);
  flash_.release();
}

TEST_F(SimFlashTest, UnknownOpcodesAreIgnoredAndReadAsFF) {
  flash_.select();
  EXPECT_EQ(flash_.transfer(0x4B), 0xFF);
  EXPECT_EQ(flash_.transfer(0x00), 0xFF);
  flash_.release();
  run({0x06});
  run({0xD7, 0x00, 0x00, 0x00});  // not a GD25Q512 opcode
  EXPECT_TRUE(flash_.writeEnabled());
  EXPECT_FALSE(flash_.busy());
}

TEST_F(SimFlashTest, ReadStreamsAndWrapsAtTheTop) {
  program(0xFFFF, {0x12});
  settle();
  program(0x0000, {0x34});
  settle();
  flash_.select();
  for (std::uint8_t b : {0x03, 0x00, 0xFF, 0xFF}) flash_.transfer(b);
  EXPECT_EQ(flash_.transfer(0), 0x12);
  EXPECT_EQ(flash_.transfer(0), 0x34);
  flash_.release();
  flash_.select();
  for (std::uint8_t b : {0x0B, 0x00, 0xFF, 0xFF, 0x00}) flash_.transfer(b);  // fast read: one dummy
  EXPECT_EQ(flash_.transfer(0), 0x12);
  flash_.release();
}

TEST(SimFlashEwsr, EnableWriteStatusWorksOnlyOnPartsThatHaveIt) {
  for (const auto& [name, works] :
       std::vector<std::pair<const char*, bool>>{{"SST25VF512", true}, {"GD25Q512", false}}) {
    auto session = openScene(oneCamera(std::string("\"flash\": \"") + name + "\""));
    Host host(*session);
    host.writeStatus(0x00, true);
    EXPECT_EQ(host.waitReady(), works ? 0x00 : 0x0C) << name;
  }
}

// Through the chip's registers: the host sees WIP for as long as the part's
// time on the simulated clock, so longer operations take more polls.
TEST(SimFlashTiming, StatusPollsFollowTheSimulatedClock) {
  auto session = openScene(oneCamera("\"status_register\": 0"));
  Host host(*session);
  const FlashPart& part = *findFlashPart("GD25Q512");
  auto pollsFor = [&](const std::function<void()>& start) {
    start();
    const std::uint64_t begin = session->clock().NowMicroseconds();
    int polls = 1;
    while (host.readStatus() & 1) ++polls;
    const std::uint64_t elapsed = session->clock().NowMicroseconds() - begin;
    return std::make_pair(polls, elapsed);
  };
  const auto [erasePolls, eraseUs] = pollsFor([&] {
    host.command({0x06});
    host.command({0x20, 0x00, 0x00, 0x00});
  });
  EXPECT_GE(eraseUs, part.times.sectorErase);
  EXPECT_GT(erasePolls, 3);
  const auto [programPolls, programUs] = pollsFor([&] { host.pageProgram(0, {0x00}); });
  EXPECT_LT(programPolls, erasePolls);
  // A sleep lets the time pass as well.
  host.command({0x06});
  host.command({0x20, 0x00, 0x10, 0x00});
  session->clock().Sleep(part.times.sectorErase / 1000 + 1);
  EXPECT_EQ(host.readStatus() & 1, 0);
  (void)programUs;
}

}  // namespace
}  // namespace qv::sim::test

namespace qv::sim::test {
namespace {

TEST(SimFlashSst, AutoAddressIncrementProgramsByteAfterByteUntilWriteDisable) {
  SimClock clock(false);
  NorFlash flash(*findFlashPart("SST25VF512"), std::vector<std::uint8_t>(65536, 0xFF), 0x00, clock);
  auto run = [&](std::initializer_list<std::uint8_t> bytes) {
    flash.select();
    for (std::uint8_t b : bytes) flash.transfer(b);
    flash.release();
    clock.advance(1'000'000);
  };
  run({0x06});
  run({0xAF, 0x00, 0x01, 0x00, 0x11});
  run({0xAF, 0x22});
  EXPECT_TRUE(flash.writeEnabled());
  run({0x04});
  run({0xAF, 0x33});  // the sequence has ended: no latch, nothing written
  const auto contents = flash.contents();
  EXPECT_EQ(contents[0x100], 0x11);
  EXPECT_EQ(contents[0x101], 0x22);
  EXPECT_EQ(contents[0x102], 0xFF);
}

}  // namespace
}  // namespace qv::sim::test
