#pragma once
// Flash identification replies, FlashType codes and their classes, the
// command tables loaded into the chip's flash engine, and the image code byte
// that names the command class inside a firmware image. Constant data only.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "channel/xu_channel.h"

namespace qv {

// FlashType: 120 is "no part recognised"; 121 to 144 name the known parts;
// 0 to 6 stand for a FlashClass given directly.
inline constexpr std::uint8_t FLASH_TYPE_UNDEFINED = 120;
inline constexpr std::uint8_t FLASH_TYPE_FIRST_PART = 121;
inline constexpr std::uint8_t FLASH_TYPE_LAST_PART = 144;
inline constexpr std::uint8_t FLASH_CLASS_COUNT = 7;

// The identification commands, in the order they are tried.
inline constexpr std::uint8_t FLASH_CMD_READ_ID = 0x90;         // manufacturer / device ID
inline constexpr std::uint8_t FLASH_CMD_READ_SIGNATURE = 0xAB;  // electronic signature
inline constexpr std::uint8_t FLASH_CMD_READ_JEDEC_ID = 0x9F;   // JEDEC ID

struct FlashPart {
  std::uint8_t code;
  const char* name;
  std::uint8_t flashClass;
};

// The 24 known parts, indexed by code minus 121.
inline constexpr std::array<FlashPart, 24> kFlashParts{{
    {121, "MX25L512", 0},   {122, "GD25Q512", 0},   {123, "FM25F005", 0},
    {124, "MD25D512", 0},   {125, "MD25D10", 0},    {126, "MX25L1006E", 0},
    {127, "GT25F512", 0},   {128, "PM25LQ512", 0},  {129, "W25X05CL", 0},
    {130, "MK25D40", 0},    {131, "ZB25D16", 0},    {132, "MK25D16", 0},
    {133, "GD25D10B", 0},   {134, "BY25Q512", 0},   {135, "MX25L5121E", 6},
    {136, "MX25L1021E", 6}, {137, "SST25VF512", 1}, {138, "PM25LD512", 2},
    {139, "PM25LD256", 2},  {140, "PM25LV512", 2},  {141, "AT25F512B", 5},
    {142, "EN25F05", 3},    {143, "EN25F40", 3},    {144, "AMICA25LS512", 4},
}};

// A FlashType the download engine and the protection operations accept.
constexpr bool IsAcceptedFlashType(std::uint8_t flashType) {
  return flashType < FLASH_CLASS_COUNT ||
         (flashType >= FLASH_TYPE_FIRST_PART && flashType <= FLASH_TYPE_LAST_PART);
}

// The part's name in the table ("GD25Q512"); empty for a FlashType that
// names no part.
constexpr std::string_view FlashPartName(std::uint8_t flashType) {
  if (flashType < FLASH_TYPE_FIRST_PART || flashType > FLASH_TYPE_LAST_PART) return {};
  return kFlashParts[flashType - FLASH_TYPE_FIRST_PART].name;
}

// FlashClass of an accepted FlashType; -1 for any other value.
constexpr int FlashClassOf(std::uint8_t flashType) {
  if (flashType < FLASH_CLASS_COUNT) return flashType;
  if (flashType >= FLASH_TYPE_FIRST_PART && flashType <= FLASH_TYPE_LAST_PART)
    return kFlashParts[flashType - FLASH_TYPE_FIRST_PART].flashClass;
  return -1;
}

// The command table sent for a FlashType: its class, or class 0 for a value
// that has none (120 included).
constexpr std::uint8_t CommandClassOf(std::uint8_t flashType) {
  const int flashClass = FlashClassOf(flashType);
  return flashClass < 0 ? 0 : static_cast<std::uint8_t>(flashClass);
}

// Entries 1 to 12 are the opcodes the chip's flash engine uses, in this
// order; entry 13 is the engine's mode byte. 0xFF: the part lacks the command.
inline constexpr std::size_t FLASH_TABLE_OPCODES = 12;
using FlashCommandTable = std::array<std::uint8_t, 13>;

// Read, fast read, read status, write enable, write disable, 4 KB sector
// erase, block erase, chip erase, page program, auto-address-increment
// program, enable write status, write status; mode.
inline constexpr std::array<FlashCommandTable, FLASH_CLASS_COUNT> kFlashCommandTables{{
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},  // class 0
    {0x03, 0xFF, 0x05, 0x06, 0x04, 0x20, 0x52, 0x60, 0x02, 0xAF, 0x50, 0x01, 0x01},  // class 1
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0xD7, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},  // class 2
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},  // class 3
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},  // class 4
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},  // class 5
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x02},  // class 6
}};

// The byte of a firmware image that names the command class, per chip
// family: its offset and the code for each class 0 to 6.
struct ImageCodeRow {
  ChipFamily firstFamily;
  ChipFamily lastFamily;
  std::uint32_t offset;
  std::array<std::uint8_t, FLASH_CLASS_COUNT> codes;
};

inline constexpr std::array<ImageCodeRow, 4> kImageCodeRows{{
    {102, 103, 0xC006, {0, 1, 4, 5, 6, 3, 7}},
    {104, 104, 0x501F, {0, 1, 4, 5, 6, 3, 7}},
    {105, 105, 0x6010, {1, 2, 5, 6, 7, 4, 8}},
    {106, 108, 0x0002, {4, 1, 2, 9, 10, 8, 5}},
}};

// The image code row of a chip family, or null when the family has none.
constexpr const ImageCodeRow* ImageCodeRowOf(ChipFamily family) {
  for (const ImageCodeRow& row : kImageCodeRows) {
    if (family >= row.firstFamily && family <= row.lastFamily) return &row;
  }
  return nullptr;
}

// Stores the image code byte of `flashType`'s class for `family` (nothing for
// a family without a row); the buffer must reach the family's offset.
void PatchImageCode(std::uint8_t* image, ChipFamily family, std::uint8_t flashType);

// Identification: each stage sends one command and compares all three reply
// bytes with its rows. A stage result of FLASH_ID_NEXT_STAGE moves on to the
// next stage; a reply matching no row ends with the stage's fallback.
inline constexpr std::uint8_t FLASH_ID_NEXT_STAGE = 0xFF;

struct FlashIdRow {
  std::array<std::uint8_t, 3> reply;
  std::uint8_t result;
};

inline constexpr std::array<FlashIdRow, 22> kFlashIdStage1{{
    {{0xC2, 0x05, 0xC2}, 121},
    {{0xC2, 0x10, 0xC2}, 126},
    {{0xC2, 0x12, 0xC2}, 130},
    {{0xC2, 0x14, 0xC2}, 132},
    {{0xC8, 0x05, 0xC8}, 122},
    {{0xC8, 0x10, 0xC8}, 133},
    {{0xA1, 0x05, 0xA1}, 123},
    {{0x51, 0x05, 0x51}, 124},
    {{0x51, 0x10, 0x51}, 125},
    {{0x9D, 0x05, 0x7F}, 138},
    {{0x9D, 0x05, 0xC4}, 127},
    {{0x9D, 0x02, 0x7F}, 139},
    {{0xEF, 0x05, 0xEF}, 129},
    {{0x5E, 0x14, 0x5E}, 131},
    {{0xBA, 0x14, 0xBA}, 132},
    {{0xE0, 0x05, 0xE0}, 134},
    {{0xBF, 0x48, 0xBF}, 137},
    {{0x1C, 0x05, 0x1C}, 142},
    {{0x1C, 0x12, 0x1C}, 143},
    {{0x42, 0x05, 0xC2}, 144},
    {{0x00, 0x00, 0x00}, FLASH_ID_NEXT_STAGE},
    {{0xFF, 0xFF, 0xFF}, FLASH_ID_NEXT_STAGE},
}};

inline constexpr std::array<FlashIdRow, 2> kFlashIdStage2{{
    {{0x9D, 0x7B, 0x7F}, 140},
    {{0x14, 0x14, 0x14}, 132},
}};

inline constexpr std::array<FlashIdRow, 3> kFlashIdStage3{{
    {{0x1F, 0x65, 0x00}, 141},
    {{0xC2, 0x22, 0x10}, 135},
    {{0xC2, 0x22, 0x11}, 136},
}};

struct FlashIdStage {
  std::uint8_t command;
  const FlashIdRow* rows;
  std::size_t rowCount;
  std::uint8_t noMatch;  // result when no row matches
};

inline constexpr std::array<FlashIdStage, 3> kFlashIdStages{{
    {FLASH_CMD_READ_ID, kFlashIdStage1.data(), kFlashIdStage1.size(), FLASH_TYPE_UNDEFINED},
    {FLASH_CMD_READ_SIGNATURE, kFlashIdStage2.data(), kFlashIdStage2.size(), FLASH_ID_NEXT_STAGE},
    {FLASH_CMD_READ_JEDEC_ID, kFlashIdStage3.data(), kFlashIdStage3.size(), FLASH_TYPE_UNDEFINED},
}};

// The result of one stage for a reply: a FlashType, 120, or FLASH_ID_NEXT_STAGE.
constexpr std::uint8_t MatchFlashIdStage(const FlashIdStage& stage, const std::uint8_t reply[3]) {
  for (std::size_t i = 0; i < stage.rowCount; ++i) {
    const FlashIdRow& row = stage.rows[i];
    if (row.reply[0] == reply[0] && row.reply[1] == reply[1] && row.reply[2] == reply[2])
      return row.result;
  }
  return stage.noMatch;
}

}  // namespace qv
