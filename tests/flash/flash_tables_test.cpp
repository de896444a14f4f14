// The constant data of the flash layer, row by row, and the pure helpers
// built on it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "flash/download_engine.h"
#include "flash/flash_tables.h"

namespace qv {
namespace {

struct PartRow {
  std::uint8_t code;
  const char* name;
  int flashClass;
};

// The known parts as the data sheet list of the product names them.
constexpr PartRow kExpectedParts[] = {
    {121, "MX25L512", 0},   {122, "GD25Q512", 0},   {123, "FM25F005", 0},
    {124, "MD25D512", 0},   {125, "MD25D10", 0},    {126, "MX25L1006E", 0},
    {127, "GT25F512", 0},   {128, "PM25LQ512", 0},  {129, "W25X05CL", 0},
    {130, "MK25D40", 0},    {131, "ZB25D16", 0},    {132, "MK25D16", 0},
    {133, "GD25D10B", 0},   {134, "BY25Q512", 0},   {135, "MX25L5121E", 6},
    {136, "MX25L1021E", 6}, {137, "SST25VF512", 1}, {138, "PM25LD512", 2},
    {139, "PM25LD256", 2},  {140, "PM25LV512", 2},  {141, "AT25F512B", 5},
    {142, "EN25F05", 3},    {143, "EN25F40", 3},    {144, "AMICA25LS512", 4},
};

TEST(FlashTables, PartsRowByRow) {
  ASSERT_EQ(kFlashParts.size(), std::size(kExpectedParts));
  for (std::size_t i = 0; i < kFlashParts.size(); ++i) {
    SCOPED_TRACE(kExpectedParts[i].name);
    EXPECT_EQ(kFlashParts[i].code, kExpectedParts[i].code);
    EXPECT_STREQ(kFlashParts[i].name, kExpectedParts[i].name);
    EXPECT_EQ(kFlashParts[i].flashClass, kExpectedParts[i].flashClass);
  }
}

TEST(FlashTables, EveryFlashTypeToClass) {
  for (int type = 0; type < 256; ++type) {
    SCOPED_TRACE(type);
    const auto t = static_cast<std::uint8_t>(type);
    int expected = -1;
    if (type <= 6) expected = type;
    if (type >= 121 && type <= 144) expected = kExpectedParts[type - 121].flashClass;
    EXPECT_EQ(FlashClassOf(t), expected);
    EXPECT_EQ(IsAcceptedFlashType(t), expected >= 0);
    // The table load falls back to class 0 for a type without a class.
    EXPECT_EQ(CommandClassOf(t), expected < 0 ? 0 : expected);
  }
  EXPECT_FALSE(IsAcceptedFlashType(7));
  EXPECT_FALSE(IsAcceptedFlashType(120));
  EXPECT_FALSE(IsAcceptedFlashType(145));
}

TEST(FlashTables, CommandTablesEntryByEntry) {
  // Columns: classes 0 to 6; rows: entries 1 to 13.
  constexpr std::uint8_t kExpected[13][7] = {
      {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03},  // read
      {0x0B, 0xFF, 0x0B, 0x0B, 0x0B, 0x0B, 0x0B},  // fast read
      {0x05, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05},  // read status
      {0x06, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06},  // write enable
      {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},  // write disable
      {0x20, 0x20, 0xD7, 0x20, 0x20, 0x20, 0x20},  // sector erase
      {0xD8, 0x52, 0xD8, 0xD8, 0xD8, 0xD8, 0xD8},  // block erase
      {0xC7, 0x60, 0xC7, 0xC7, 0xC7, 0xC7, 0xC7},  // chip erase
      {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02},  // page program
      {0xFF, 0xAF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},  // auto address increment
      {0xFF, 0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},  // enable write status
      {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},  // write status
      {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02},  // mode
  };
  for (std::size_t cls = 0; cls < 7; ++cls) {
    for (std::size_t entry = 0; entry < 13; ++entry) {
      SCOPED_TRACE(testing::Message() << "class " << cls << " entry " << entry + 1);
      EXPECT_EQ(kFlashCommandTables[cls][entry], kExpected[entry][cls]);
    }
  }
}

TEST(FlashTables, ImageCodeRows) {
  struct Row {
    ChipFamily family;
    std::uint32_t offset;
    std::uint8_t codes[7];
  };
  constexpr Row kExpected[] = {
      {102, 0xC006, {0, 1, 4, 5, 6, 3, 7}},  {103, 0xC006, {0, 1, 4, 5, 6, 3, 7}},
      {104, 0x501F, {0, 1, 4, 5, 6, 3, 7}},  {105, 0x6010, {1, 2, 5, 6, 7, 4, 8}},
      {106, 0x0002, {4, 1, 2, 9, 10, 8, 5}}, {107, 0x0002, {4, 1, 2, 9, 10, 8, 5}},
      {108, 0x0002, {4, 1, 2, 9, 10, 8, 5}},
  };
  for (const Row& row : kExpected) {
    SCOPED_TRACE(static_cast<int>(row.family));
    const ImageCodeRow* found = ImageCodeRowOf(row.family);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->offset, row.offset);
    for (std::size_t cls = 0; cls < 7; ++cls) EXPECT_EQ(found->codes[cls], row.codes[cls]);
  }
  for (int family : {0, 100, 101, 109, 255}) {
    EXPECT_EQ(ImageCodeRowOf(static_cast<ChipFamily>(family)), nullptr) << family;
  }
}

std::uint8_t identify(std::initializer_list<std::array<std::uint8_t, 3>> replies,
                      int* commandsUsed = nullptr) {
  // Runs the stages over the replies given, one per command, as
  // QueryFlashType does.
  auto reply = replies.begin();
  int used = 0;
  std::uint8_t result = FLASH_ID_NEXT_STAGE;
  for (const FlashIdStage& stage : kFlashIdStages) {
    std::array<std::uint8_t, 3> bytes{0, 0, 0};
    if (reply != replies.end()) bytes = *reply++;
    ++used;
    result = MatchFlashIdStage(stage, bytes.data());
    if (result != FLASH_ID_NEXT_STAGE) break;
  }
  if (commandsUsed != nullptr) *commandsUsed = used;
  return result;
}

TEST(FlashTables, IdentificationStagesRowByRow) {
  EXPECT_EQ(kFlashIdStages[0].command, 0x90);
  EXPECT_EQ(kFlashIdStages[1].command, 0xAB);
  EXPECT_EQ(kFlashIdStages[2].command, 0x9F);

  struct Row {
    std::array<std::uint8_t, 3> reply;
    std::uint8_t result;
  };
  constexpr Row kStage1[] = {
      {{0xC2, 0x05, 0xC2}, 121}, {{0xC2, 0x10, 0xC2}, 126}, {{0xC2, 0x12, 0xC2}, 130},
      {{0xC2, 0x14, 0xC2}, 132}, {{0xC8, 0x05, 0xC8}, 122}, {{0xC8, 0x10, 0xC8}, 133},
      {{0xA1, 0x05, 0xA1}, 123}, {{0x51, 0x05, 0x51}, 124}, {{0x51, 0x10, 0x51}, 125},
      {{0x9D, 0x05, 0x7F}, 138}, {{0x9D, 0x05, 0xC4}, 127}, {{0x9D, 0x02, 0x7F}, 139},
      {{0xEF, 0x05, 0xEF}, 129}, {{0x5E, 0x14, 0x5E}, 131}, {{0xBA, 0x14, 0xBA}, 132},
      {{0xE0, 0x05, 0xE0}, 134}, {{0xBF, 0x48, 0xBF}, 137}, {{0x1C, 0x05, 0x1C}, 142},
      {{0x1C, 0x12, 0x1C}, 143}, {{0x42, 0x05, 0xC2}, 144},
  };
  for (const Row& row : kStage1) {
    int used = 0;
    EXPECT_EQ(identify({row.reply}, &used), row.result) << int(row.result);
    EXPECT_EQ(used, 1);
  }
  // Stage 2 and 3 rows, reached through an all-0x00 or all-0xFF first reply.
  EXPECT_EQ(identify({{0x00, 0x00, 0x00}, {0x9D, 0x7B, 0x7F}}), 140);
  EXPECT_EQ(identify({{0xFF, 0xFF, 0xFF}, {0x14, 0x14, 0x14}}), 132);
  EXPECT_EQ(identify({{0x00, 0x00, 0x00}, {0, 0, 0}, {0x1F, 0x65, 0x00}}), 141);
  EXPECT_EQ(identify({{0x00, 0x00, 0x00}, {0, 0, 0}, {0xC2, 0x22, 0x10}}), 135);
  EXPECT_EQ(identify({{0xFF, 0xFF, 0xFF}, {0, 0, 0}, {0xC2, 0x22, 0x11}}), 136);
}

TEST(FlashTables, IdentificationEdgeCases) {
  int used = 0;
  EXPECT_EQ(identify({{0xC2, 0x05, 0xC2}}, &used), 121);
  EXPECT_EQ(used, 1);
  EXPECT_EQ(identify({{0xC2, 0x05, 0xC3}}, &used), FLASH_TYPE_UNDEFINED);
  EXPECT_EQ(used, 1);  // no 0xAB, no 0x9F
  EXPECT_EQ(identify({{0x00, 0x00, 0x00}, {0x14, 0x14, 0x14}}, &used), 132);
  EXPECT_EQ(used, 2);  // no 0x9F
  EXPECT_EQ(identify({{0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00}, {0xC2, 0x22, 0x11}}, &used), 136);
  EXPECT_EQ(used, 3);
  EXPECT_EQ(identify({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, &used), FLASH_TYPE_UNDEFINED);
  EXPECT_EQ(used, 3);
  EXPECT_EQ(identify({{0x9D, 0x05, 0x7F}}), 138);
  EXPECT_EQ(identify({{0x9D, 0x05, 0xC4}}), 127);
  EXPECT_EQ(identify({{0x42, 0x05, 0xC2}}), 144);
  EXPECT_EQ(identify({{0x42, 0x05, 0x42}}), FLASH_TYPE_UNDEFINED);
  // Stage 2 and 3 answers given to 0x90 are not known there.
  EXPECT_EQ(identify({{0x14, 0x14, 0x14}}), FLASH_TYPE_UNDEFINED);
  EXPECT_EQ(identify({{0xC2, 0x22, 0x11}}), FLASH_TYPE_UNDEFINED);
}

TEST(FlashTables, NoReplyYields128) {
  for (const FlashIdStage& stage : kFlashIdStages) {
    for (std::size_t i = 0; i < stage.rowCount; ++i) EXPECT_NE(stage.rows[i].result, 128);
  }
}

TEST(FlashTables, DownloadFamilyProfiles) {
  struct Row {
    ChipFamily family;
    bool marks;
    std::uint8_t header;
    std::uint32_t rewrite;
    std::uint8_t finalLength;
    std::uint8_t final0, final1;
    bool commits, prepares, resets, protects;
  };
  constexpr Row kExpected[] = {
      {102, true, 0xF5, 0x8008, 1, 0x55, 0, false, false, false, true},
      {103, true, 0xF5, 0x8008, 1, 0x55, 0, false, false, false, true},
      {104, true, 0xF5, 0xB70A, 1, 0x55, 0, false, false, false, true},
      {105, true, 0xF9, 0x678A, 2, 0x89, 0x16, false, true, false, true},
      {106, false, 0, 0, 0, 0, 0, true, false, true, false},
      {107, false, 0, 0, 0, 0, 0, true, false, true, false},
      {108, false, 0, 0, 0, 0, 0, true, false, true, false},
      {100, true, 0xF5, 0xF000, 1, 0x55, 0, false, false, false, true},
      {109, true, 0xF5, 0xF000, 1, 0x55, 0, false, false, false, true},
  };
  for (const Row& row : kExpected) {
    SCOPED_TRACE(static_cast<int>(row.family));
    const DownloadFamilyProfile& p = DownloadProfileOf(row.family);
    EXPECT_EQ(p.marksHeader, row.marks);
    if (row.marks) {
      EXPECT_EQ(p.transferHeader, row.header);
      EXPECT_EQ(p.rewriteOffset, row.rewrite);
    }
    EXPECT_EQ(p.finalHeaderLength, row.finalLength);
    if (row.finalLength > 0) {
      EXPECT_EQ(p.finalHeader[0], row.final0);
    }
    if (row.finalLength > 1) {
      EXPECT_EQ(p.finalHeader[1], row.final1);
    }
    EXPECT_EQ(p.commits, row.commits);
    EXPECT_EQ(p.prepares, row.prepares);
    EXPECT_EQ(p.resetsAfterLeave, row.resets);
    EXPECT_EQ(p.writesProtection, row.protects);
  }
  // Each final header keeps only bits the transfer header has, so both go
  // into the same flash byte without an erase.
  for (const DownloadFamilyProfile& p : kDownloadFamilyProfiles) {
    if (p.finalHeaderLength > 0) {
      EXPECT_EQ(p.finalHeader[0] & ~p.transferHeader, 0);
    }
  }
}

TEST(FlashTables, ProgressFormulas) {
  // A 32786-byte image in 4096-byte blocks.
  const std::uint8_t kBlocks[] = {5, 16, 27, 38, 49, 61, 72, 83, 94};
  for (std::uint32_t i = 0; i < 9; ++i) EXPECT_EQ(DownloadProgress(i * 4096, 32786), kBlocks[i]);
  // The same image in sector-pair units: programmed length 36864.
  const std::uint8_t kUnits[] = {5, 15, 25, 35, 45, 55, 65, 75, 85};
  for (std::uint32_t u = 0; u < 9; ++u) EXPECT_EQ(SectorProgress(u, 36864), kUnits[u]);
}

TEST(FlashTables, VerifyRegions) {
  EXPECT_EQ(kVerifyRegions[0].start, 0x0000u);
  EXPECT_EQ(kVerifyRegions[0].end, 0x2000u);
  EXPECT_EQ(kVerifyRegions[1].start, 0x2000u);
  EXPECT_EQ(kVerifyRegions[1].end, 0xD000u);
  EXPECT_EQ(kVerifyRegions[2].start, 0xD000u);
  EXPECT_EQ(kVerifyRegions[2].end, 0x10000u);
  EXPECT_EQ(kVerifyRegions[3].start, 0x0000u);
  EXPECT_EQ(kVerifyRegions[3].end, 0x10000u);
}

TEST(ProfileInteger, ReadsLikeAtoi) {
  EXPECT_EQ(ParseProfileInteger("1"), 1);
  EXPECT_EQ(ParseProfileInteger("   1"), 1);
  EXPECT_EQ(ParseProfileInteger("\t\n1"), 1);
  EXPECT_EQ(ParseProfileInteger("1abc"), 1);
  EXPECT_EQ(ParseProfileInteger("+1"), 1);
  EXPECT_EQ(ParseProfileInteger("-1"), -1);
  EXPECT_EQ(ParseProfileInteger("01"), 1);
  EXPECT_EQ(ParseProfileInteger("2"), 2);
  EXPECT_EQ(ParseProfileInteger("0"), 0);
  EXPECT_EQ(ParseProfileInteger(""), 0);
  EXPECT_EQ(ParseProfileInteger("x1"), 0);
  EXPECT_EQ(ParseProfileInteger("- 1"), 0);
  EXPECT_EQ(ParseProfileInteger("11"), 11);
  EXPECT_EQ(ParseProfileInteger("999999999"), 999999999);
  EXPECT_EQ(ParseProfileInteger("99999999999999"), 0x7FFFFFFF);
  EXPECT_EQ(ParseProfileInteger("-99999999999999"), -0x7FFFFFFF - 1);
  EXPECT_EQ(ParseProfileInteger(nullptr), 0);
}

}  // namespace
}  // namespace qv
