// Every known part: its identification replies (and the part the host's
// three-stage identification takes from them) and its command set.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>

#include "sim/flash_parts.h"
#include "sim_host.h"

namespace qv::sim::test {
namespace {

using Id = std::array<std::uint8_t, 3>;

// The host's identification: 0x90, then (only after an all-0x00 or all-0xFF
// reply) 0xAB, then 0x9F.
std::uint8_t identify(Host& host, const std::function<Id(std::uint8_t)>& read) {
  static const std::map<Id, std::uint8_t> stage1 = {
      {{0xC2, 0x05, 0xC2}, 121}, {{0xC2, 0x10, 0xC2}, 126}, {{0xC2, 0x12, 0xC2}, 130},
      {{0xC2, 0x14, 0xC2}, 132}, {{0xC8, 0x05, 0xC8}, 122}, {{0xC8, 0x10, 0xC8}, 133},
      {{0xA1, 0x05, 0xA1}, 123}, {{0x51, 0x05, 0x51}, 124}, {{0x51, 0x10, 0x51}, 125},
      {{0x9D, 0x05, 0x7F}, 138}, {{0x9D, 0x05, 0xC4}, 127}, {{0x9D, 0x02, 0x7F}, 139},
      {{0xEF, 0x05, 0xEF}, 129}, {{0x5E, 0x14, 0x5E}, 131}, {{0xBA, 0x14, 0xBA}, 132},
      {{0xE0, 0x05, 0xE0}, 134}, {{0xBF, 0x48, 0xBF}, 137}, {{0x1C, 0x05, 0x1C}, 142},
      {{0x1C, 0x12, 0x1C}, 143}, {{0x42, 0x05, 0xC2}, 144}};
  (void)host;
  const Id r1 = read(0x90);
  if (auto it = stage1.find(r1); it != stage1.end()) return it->second;
  if (r1 != Id{0, 0, 0} && r1 != Id{0xFF, 0xFF, 0xFF}) return 120;
  const Id r2 = read(0xAB);
  if (r2 == Id{0x9D, 0x7B, 0x7F}) return 140;
  if (r2 == Id{0x14, 0x14, 0x14}) return 132;
  const Id r3 = read(0x9F);
  if (r3 == Id{0x1F, 0x65, 0x00}) return 141;
  if (r3 == Id{0xC2, 0x22, 0x10}) return 135;
  if (r3 == Id{0xC2, 0x22, 0x11}) return 136;
  return 120;
}

std::string partScene(std::string_view name, const std::string& chipId = "138") {
  return oneCamera("\"flash\": \"" + std::string(name) + "\", \"chip_id\": " + chipId);
}

TEST(SimFlashParts, TableHoldsTheTwentyFourCodesInOrder) {
  const auto parts = knownFlashParts();
  ASSERT_EQ(parts.size(), 24u);
  const std::uint8_t classes[24] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0, 0, 6, 6, 1, 2, 2, 2, 5, 3, 3, 4};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].code, 121 + i) << parts[i].name;
    EXPECT_EQ(parts[i].cmdClass, classes[i]) << parts[i].name;
    EXPECT_EQ(findFlashPart(parts[i].name), &parts[i]);
    EXPECT_GT(parts[i].times.sectorErase, parts[i].times.pageProgram) << parts[i].name;
  }
  EXPECT_EQ(findFlashPart("gd25q512"), nullptr);  // exact spelling only
}

// Through the SPI registers (family 104) every part but PM25LQ512 is
// identified as itself; PM25LQ512 has no reply the host recognises.
TEST(SimFlashParts, EachPartIsIdentifiedAsItselfOverSpiRegisters) {
  for (const FlashPart& part : knownFlashParts()) {
    auto session = openScene(partScene(part.name));
    Host host(*session);
    const std::uint8_t code = identify(host, [&](std::uint8_t cmd) { return host.readId(cmd); });
    EXPECT_EQ(code, part.code == 128 ? 120 : part.code) << part.name;
  }
}

// Families 106 and 107 identify through control 23 with the command loaded
// at index 13.
TEST(SimFlashParts, EachPartIsIdentifiedAsItselfOverTheFlashIdControl) {
  for (const char* chip : {"0xB0", "0xC5"}) {
    for (const FlashPart& part : knownFlashParts()) {
      auto session = openScene(partScene(part.name, chip == std::string("0xB0") ? "176" : "197"));
      Host host(*session);
      const std::uint8_t code = identify(host, [&](std::uint8_t cmd) {
        host.set(7, {0x0D});
        host.set(8, {cmd});
        std::vector<std::uint8_t> out;
        EXPECT_EQ(host.get(23, 3, out), hr::Ok);
        return Id{out[0], out[1], out[2]};
      });
      EXPECT_EQ(code, part.code == 128 ? 120 : part.code) << part.name << " on " << chip;
    }
  }
}

TEST(SimFlashParts, FlashIdControlExistsOnFamilies106And107Only) {
  for (const auto& [chip, present] : std::vector<std::pair<int, bool>>{
           {0xB0, true}, {0xC0, true}, {0xD0, false}, {0x80, false}, {0x60, false}}) {
    auto session = openScene(oneCamera("\"chip_id\": " + std::to_string(chip)));
    Host host(*session);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(host.get(23, 3, out), present ? hr::Ok : hr::NotFound) << chip;
  }
}

TEST(SimFlashParts, UnlistedPartAnswersItsRepliesWithTheCommonCommandSet) {
  auto session = openScene(oneCamera(
      R"("flash": {"rems": [1, 2, 3], "res": [4, 5, 6], "rdid": [7, 8, 9]}, "status_register": 0)"));
  Host host(*session);
  EXPECT_EQ(host.readId(0x90), (Id{1, 2, 3}));
  EXPECT_EQ(host.readId(0xAB), (Id{4, 5, 6}));
  EXPECT_EQ(host.readId(0x9F), (Id{7, 8, 9}));
  for (std::uint8_t opcode : kCommonCommands) {
    if (opcode != 0xFF) {
      EXPECT_TRUE(host.model().flashChip().hasOpcode(opcode)) << int(opcode);
    }
  }
  EXPECT_FALSE(host.model().flashChip().hasOpcode(0x50));
  EXPECT_FALSE(host.model().flashChip().hasOpcode(0xD7));
}

// The command set of each class is exactly the opcodes of that class's
// table, plus the identification commands the part answers.
TEST(SimFlashParts, CommandSetFollowsTheTableClass) {
  for (const FlashPart& part : knownFlashParts()) {
    auto session = openScene(partScene(part.name));
    NorFlash& flash = session->camera(0).flashChip();
    const auto& table = kTables[part.cmdClass];
    for (int opcode = 0; opcode < 256; ++opcode) {
      bool expected = std::find(table.begin(), table.begin() + 12, opcode) != table.begin() + 12 &&
                      opcode != 0xFF;
      if (opcode == 0x90) expected = part.rems.present;
      if (opcode == 0xAB) expected = part.res.present;
      if (opcode == 0x9F) expected = part.rdid.present;
      EXPECT_EQ(flash.hasOpcode(static_cast<std::uint8_t>(opcode)), expected)
          << part.name << " opcode " << opcode;
    }
  }
}

TEST(SimFlashParts, SectorEraseOpcodeDependsOnTheClass) {
  for (const auto& [name, good, bad] :
       std::vector<std::tuple<const char*, std::uint8_t, std::uint8_t>>{
           {"GD25Q512", 0x20, 0xD7}, {"PM25LD512", 0xD7, 0x20}}) {
    auto session = openScene(partScene(name) + "");
    Host host(*session);
    host.writeStatus(0x00);
    host.waitReady();
    host.pageProgram(0x1000, {0x00});
    host.waitReady();
    host.command({0x06});
    host.command({bad, 0x00, 0x10, 0x00});
    host.waitReady();
    EXPECT_EQ(session->camera(0).flash()[0x1000], 0x00) << name << ": wrong opcode erased";
    EXPECT_EQ(host.readStatus() & 0x02, 0x02) << name << ": latch kept by an ignored command";
    host.command({good, 0x00, 0x10, 0x00});
    host.waitReady();
    EXPECT_EQ(session->camera(0).flash()[0x1000], 0xFF) << name;
  }
}

}  // namespace
}  // namespace qv::sim::test
