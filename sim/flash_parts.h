#pragma once
// The serial NOR flash parts the simulated camera can carry: identification
// replies, command set and typical busy times.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qv::sim {

// Opcodes the flash model understands (published SPI NOR command set).
namespace op {
inline constexpr std::uint8_t WriteStatus = 0x01;
inline constexpr std::uint8_t PageProgram = 0x02;
inline constexpr std::uint8_t Read = 0x03;
inline constexpr std::uint8_t WriteDisable = 0x04;
inline constexpr std::uint8_t ReadStatus = 0x05;
inline constexpr std::uint8_t WriteEnable = 0x06;
inline constexpr std::uint8_t FastRead = 0x0B;
inline constexpr std::uint8_t SectorErase = 0x20;
inline constexpr std::uint8_t EnableWriteStatus = 0x50;
inline constexpr std::uint8_t BlockErase32 = 0x52;
inline constexpr std::uint8_t ChipErase60 = 0x60;
inline constexpr std::uint8_t ReadMfrDeviceId = 0x90;
inline constexpr std::uint8_t ReadJedecId = 0x9F;
inline constexpr std::uint8_t ReadSignature = 0xAB;
inline constexpr std::uint8_t AutoIncrementProgram = 0xAF;
inline constexpr std::uint8_t ChipEraseC7 = 0xC7;
inline constexpr std::uint8_t SectorEraseD7 = 0xD7;
inline constexpr std::uint8_t BlockErase64 = 0xD8;
}  // namespace op

// The command sets, one per command-table class of the tool: the opcodes of
// entries 1 to 12 of that class's table (0xFF = not present).
using CommandSet = std::array<std::uint8_t, 12>;
inline constexpr CommandSet kCommonCommands = {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20,
                                               0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01};
inline constexpr CommandSet kSstCommands = {0x03, 0xFF, 0x05, 0x06, 0x04, 0x20,
                                            0x52, 0x60, 0x02, 0xAF, 0x50, 0x01};
inline constexpr CommandSet kPmcCommands = {0x03, 0x0B, 0x05, 0x06, 0x04, 0xD7,
                                            0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01};

// Three reply bytes of an identification command; absent = the part does not
// have the command (it then reads 0xFF like any unknown command).
struct IdReply {
  bool present;
  std::array<std::uint8_t, 3> bytes;
};
inline constexpr IdReply kNoReply = {false, {0xFF, 0xFF, 0xFF}};
constexpr IdReply reply(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  return {true, {a, b, c}};
}

// Typical busy times in microseconds (write-in-progress duration).
struct BusyTimes {
  std::uint32_t pageProgram;
  std::uint32_t sectorErase;  // 4 KB
  std::uint32_t blockErase;   // 32 or 64 KB
  std::uint32_t chipErase;
  std::uint32_t statusWrite;
};

struct FlashPart {
  std::string_view name;
  std::uint8_t code;      // the tool's flash type code (121..144), 0 for an unlisted part
  std::uint8_t cmdClass;  // the command-table class the part belongs to (0..6)
  IdReply rems;           // 0x90 Read Manufacturer/Device ID
  IdReply res;            // 0xAB Read Electronic Signature
  IdReply rdid;           // 0x9F Read JEDEC ID
  BusyTimes times;
  // Byte-program parts (SST25VF): 0x02 programs one byte; further data
  // bytes of the same command are ignored.
  bool byteProgram = false;
};

// The 24 known parts, in the order of their codes (121 to 144).
std::span<const FlashPart> knownFlashParts();
// A known part by name (exact spelling), or nothing.
const FlashPart* findFlashPart(std::string_view name);
// The command set of a command-table class.
const CommandSet& commandSetOfClass(std::uint8_t cmdClass);
// Busy times of an unlisted part described only by its replies.
inline constexpr BusyTimes kGenericBusyTimes = {700, 50000, 300000, 500000, 10000};

}  // namespace qv::sim
