#include "sim/flash_parts.h"

namespace qv::sim {
namespace {

// Typical busy times (microseconds) by maker, rounded from the typical
// columns of the makers' small SPI NOR datasheets (page program tPP, 4 KB
// sector erase tSE, block erase tBE, chip erase tCE, status write tW). They
// decide how many status polls a host sees, not whether it succeeds.
constexpr BusyTimes kMacronix = {1400, 60000, 700000, 1000000, 40000};
constexpr BusyTimes kGigaDevice = {700, 50000, 250000, 500000, 5000};
constexpr BusyTimes kWinbond = {800, 30000, 150000, 250000, 10000};
constexpr BusyTimes kFidelix = {1500, 60000, 700000, 1000000, 10000};
constexpr BusyTimes kPmc = {1500, 40000, 700000, 1000000, 8000};
constexpr BusyTimes kZbit = {700, 45000, 200000, 500000, 10000};
constexpr BusyTimes kSst = {20, 18000, 18000, 70000, 10};  // byte program 20 us
constexpr BusyTimes kAdesto = {1500, 50000, 350000, 750000, 10000};
constexpr BusyTimes kEon = {1300, 90000, 500000, 1500000, 10000};
constexpr BusyTimes kAmic = {1500, 60000, 700000, 1000000, 10000};

constexpr FlashPart kParts[] = {
    {"MX25L512", 121, 0, reply(0xC2, 0x05, 0xC2), reply(0x05, 0x05, 0x05), reply(0xC2, 0x20, 0x10),
     kMacronix},
    {"GD25Q512", 122, 0, reply(0xC8, 0x05, 0xC8), reply(0x05, 0x05, 0x05), reply(0xC8, 0x40, 0x10),
     kGigaDevice},
    {"FM25F005", 123, 0, reply(0xA1, 0x05, 0xA1), reply(0x05, 0x05, 0x05), reply(0xA1, 0x31, 0x10),
     kFidelix},
    {"MD25D512", 124, 0, reply(0x51, 0x05, 0x51), reply(0x05, 0x05, 0x05), reply(0x51, 0x40, 0x10),
     kGigaDevice},
    {"MD25D10", 125, 0, reply(0x51, 0x10, 0x51), reply(0x10, 0x10, 0x10), reply(0x51, 0x40, 0x11),
     kGigaDevice},
    {"MX25L1006E", 126, 0, reply(0xC2, 0x10, 0xC2), reply(0x10, 0x10, 0x10),
     reply(0xC2, 0x20, 0x11), kMacronix},
    {"GT25F512", 127, 0, reply(0x9D, 0x05, 0xC4), reply(0x05, 0x05, 0x05), reply(0xC4, 0x40, 0x10),
     kGigaDevice},
    // Its manufacturer/device reply matches no row of the tool's table.
    {"PM25LQ512", 128, 0, reply(0x9D, 0x05, 0x9D), reply(0x05, 0x05, 0x05), reply(0x9D, 0x40, 0x10),
     kPmc},
    {"W25X05CL", 129, 0, reply(0xEF, 0x05, 0xEF), reply(0x05, 0x05, 0x05), reply(0xEF, 0x30, 0x10),
     kWinbond},
    {"MK25D40", 130, 0, reply(0xC2, 0x12, 0xC2), reply(0x12, 0x12, 0x12), reply(0xC2, 0x20, 0x13),
     kMacronix},
    {"ZB25D16", 131, 0, reply(0x5E, 0x14, 0x5E), reply(0x14, 0x14, 0x14), reply(0x5E, 0x40, 0x15),
     kZbit},
    {"MK25D16", 132, 0, reply(0xC2, 0x14, 0xC2), reply(0x14, 0x14, 0x14), reply(0xC2, 0x20, 0x15),
     kMacronix},
    {"GD25D10B", 133, 0, reply(0xC8, 0x10, 0xC8), reply(0x10, 0x10, 0x10), reply(0xC8, 0x40, 0x11),
     kGigaDevice},
    {"BY25Q512", 134, 0, reply(0xE0, 0x05, 0xE0), reply(0x05, 0x05, 0x05), reply(0x68, 0x40, 0x10),
     kGigaDevice},
    {"MX25L5121E", 135, 6, kNoReply, reply(0x10, 0x10, 0x10), reply(0xC2, 0x22, 0x10), kMacronix},
    {"MX25L1021E", 136, 6, kNoReply, reply(0x11, 0x11, 0x11), reply(0xC2, 0x22, 0x11), kMacronix},
    {"SST25VF512", 137, 1, reply(0xBF, 0x48, 0xBF), reply(0xBF, 0x48, 0xBF), kNoReply, kSst, true},
    {"PM25LD512", 138, 2, reply(0x9D, 0x05, 0x7F), reply(0x05, 0x05, 0x05), reply(0x9D, 0x20, 0x10),
     kPmc},
    {"PM25LD256", 139, 2, reply(0x9D, 0x02, 0x7F), reply(0x02, 0x02, 0x02), reply(0x9D, 0x20, 0x09),
     kPmc},
    {"PM25LV512", 140, 2, kNoReply, reply(0x9D, 0x7B, 0x7F), kNoReply, kPmc},
    {"AT25F512B", 141, 5, kNoReply, kNoReply, reply(0x1F, 0x65, 0x00), kAdesto},
    {"EN25F05", 142, 3, reply(0x1C, 0x05, 0x1C), reply(0x05, 0x05, 0x05), reply(0x1C, 0x31, 0x10),
     kEon},
    {"EN25F40", 143, 3, reply(0x1C, 0x12, 0x1C), reply(0x12, 0x12, 0x12), reply(0x1C, 0x31, 0x13),
     kEon},
    {"AMICA25LS512", 144, 4, reply(0x42, 0x05, 0xC2), reply(0x05, 0x05, 0x05),
     reply(0x37, 0x30, 0x10), kAmic},
};
static_assert(std::size(kParts) == 24);

}  // namespace

std::span<const FlashPart> knownFlashParts() { return kParts; }

const FlashPart* findFlashPart(std::string_view name) {
  for (const FlashPart& part : kParts) {
    if (part.name == name) return &part;
  }
  return nullptr;
}

const CommandSet& commandSetOfClass(std::uint8_t cmdClass) {
  switch (cmdClass) {
    case 1:
      return kSstCommands;
    case 2:
      return kPmcCommands;
    default:
      return kCommonCommands;
  }
}

}  // namespace qv::sim
