// Flash identification, command-table loads, the image code byte and the
// read-out, on the simulated camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flash/flash_tables.h"
#include "tests/flash/sim_rig.h"
#include "tests/support/fake_rig.h"

namespace qv::test {
namespace {

// The identification commands sent, in order, as they appear on the SPI
// master's transmit register (or the identification parameter on families
// 106 and 107).
std::vector<int> idCommandsSent(const std::vector<std::string>& lines) {
  std::vector<int> commands;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const bool txWrite = lines[i - 1] == "0 SET 2 22 20";
    const bool idParam = lines[i - 1] == "0 SET 7 0D";
    if (!txWrite && !idParam) continue;
    for (const char* cmd : {"90", "AB", "9F"}) {
      if (lines[i] == std::string(idParam ? "0 SET 8 " : "0 SET 3 ") + cmd)
        commands.push_back(std::stoi(cmd, nullptr, 16));
    }
  }
  return commands;
}

std::uint8_t query(SimRig& rig) {
  std::uint8_t type = 0x5A;
  EXPECT_EQ(rig.device->QueryFlashType(type), 0);
  return type;
}

TEST(Identification, EveryKnownPartBySpiRegisters) {
  for (const FlashPart& part : kFlashParts) {
    if (part.code == 128) continue;  // no reply yields it
    SCOPED_TRACE(part.name);
    SimRig rig;
    rig.open(std::string(R"("flash": ")") + part.name + "\"");
    EXPECT_EQ(query(rig), part.code);
  }
}

TEST(Identification, ThroughTheIdControlOnFamily106And107) {
  for (int chipId : {0xB1, 0xC1}) {
    SimRig rig;
    rig.open(R"("chip_id": )" + std::to_string(chipId) + R"(, "flash": "AT25F512B")");
    EXPECT_EQ(query(rig), 141);
    EXPECT_EQ(idCommandsSent(rig.trace()), (std::vector<int>{0x90, 0xAB, 0x9F}));
  }
}

TEST(Identification, Stages) {
  struct Case {
    const char* replies;
    std::uint8_t expected;
    std::vector<int> commands;
  };
  const Case cases[] = {
      {R"("rems": [194, 5, 194], "res": [0, 0, 0], "rdid": [0, 0, 0])", 121, {0x90}},
      {R"("rems": [194, 5, 195], "res": [20, 20, 20], "rdid": [31, 101, 0])", 120, {0x90}},
      {R"("rems": [0, 0, 0], "res": [20, 20, 20], "rdid": [31, 101, 0])", 132, {0x90, 0xAB}},
      {R"("rems": [255, 255, 255], "res": [0, 0, 0], "rdid": [194, 34, 17])",
       136,
       {0x90, 0xAB, 0x9F}},
      {R"("rems": [0, 0, 0], "res": [0, 0, 0], "rdid": [0, 0, 0])", 120, {0x90, 0xAB, 0x9F}},
      {R"("rems": [66, 5, 194], "res": [0, 0, 0], "rdid": [0, 0, 0])", 144, {0x90}},
      {R"("rems": [66, 5, 66], "res": [0, 0, 0], "rdid": [0, 0, 0])", 120, {0x90}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.replies);
    SimRig rig;
    rig.open(std::string(R"("flash": {)") + c.replies + "}");
    EXPECT_EQ(query(rig), c.expected);
    EXPECT_EQ(idCommandsSent(rig.trace()), c.commands);
  }
}

std::vector<std::string> tableLines(const FlashCommandTable& table) {
  std::vector<std::string> lines;
  char line[32];
  for (int i = 1; i <= 12; ++i) {
    std::snprintf(line, sizeof(line), "0 SET 7 %02X", i);
    lines.push_back(line);
    std::snprintf(line, sizeof(line), "0 SET 8 %02X", table[i - 1]);
    lines.push_back(line);
  }
  std::snprintf(line, sizeof(line), "0 SET 16 %02X", table[12]);
  lines.push_back(line);
  lines.push_back("0 LEN 15 4096");
  return lines;
}

TEST(CommandTable, LoadsSendTheTableOfTheClass) {
  SimRig rig;
  rig.open();
  const FlashCommandTable sst = {0x03, 0xFF, 0x05, 0x06, 0x04, 0x20, 0x52,
                                 0x60, 0x02, 0xAF, 0x50, 0x01, 0x01};
  struct Case {
    std::uint8_t type;
    FlashCommandTable table;
  };
  for (const Case& c : {Case{137, sst}, Case{128, kFlashCommandTables[0]},
                        Case{120, kFlashCommandTables[0]}, Case{3, kFlashCommandTables[3]},
                        Case{135, kFlashCommandTables[6]}, Case{139, kFlashCommandTables[2]}}) {
    SCOPED_TRACE(static_cast<int>(c.type));
    const std::size_t from = rig.traceSize();
    bool allSucceeded = false;
    EXPECT_EQ(rig.core().LoadFlashCommandTable(c.type, allSucceeded), 0);
    EXPECT_TRUE(allSucceeded);
    EXPECT_EQ(rig.trace(from), tableLines(c.table));
    for (int i = 1; i <= 12; ++i) EXPECT_EQ(rig.camera().commandTable()[i], c.table[i - 1]);
    EXPECT_EQ(rig.camera().flashMode(), c.table[12]);
  }
}

TEST(CommandTable, EveryRequestIsSentAndAFailedOneIsReported) {
  SimRig probe;
  probe.open();
  (void)probe.core().LoadFlashCommandTable(122);
  const std::uint32_t n = probe.requestNumber("0 SET 8 ", 0) + 4;  // the third value SET
  ASSERT_GT(n, 4u);

  SimRig rig;
  rig.open(R"("faults": [{"request": )" + std::to_string(n) + R"(, "result": "0x8007001F"}])");
  const std::size_t from = rig.traceSize();
  bool allSucceeded = true;
  // The result is that of the final length request.
  EXPECT_EQ(rig.core().LoadFlashCommandTable(122, allSucceeded), 0);
  EXPECT_FALSE(allSucceeded);
  const auto lines = rig.trace(from);
  ASSERT_EQ(lines.size(), 26u);
  EXPECT_EQ(lines[5], "0 SET 8 !8007001F");
  EXPECT_EQ(lines[25], "0 LEN 15 4096");
}

TEST(ImageCode, PatchedPerFamily) {
  struct Case {
    int chipId;
    std::uint8_t type;
    std::uint32_t offset;
    std::uint8_t code;
  };
  const Case cases[] = {
      {0x8A, 141, 0x501F, 3}, {0xA1, 137, 0x6010, 2}, {0xB1, 135, 0x0002, 5},
      {0x61, 128, 0xC006, 0}, {0x91, 144, 0xC006, 6}, {0xD1, 142, 0x0002, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chipId);
    SimRig rig;
    rig.open(R"("chip_id": )" + std::to_string(c.chipId));
    std::vector<std::uint8_t> image(0x20000, 0xEE);
    const std::size_t from = rig.traceSize();
    rig.core().PatchImageFlashCode(image.data(), c.type);
    EXPECT_EQ(rig.traceSize(), from);  // no request
    for (std::size_t i = 0; i < image.size(); ++i) {
      if (image[i] != (i == c.offset ? c.code : 0xEE)) {
        ADD_FAILURE() << "byte " << i << " is " << int(image[i]);
        break;
      }
    }
  }
}

// Flash contents that differ at every address of the 64 KB.
void fillPattern(sim::CameraModel& camera) {
  auto flash = camera.flash();
  for (std::size_t i = 0; i < flash.size(); ++i)
    flash[i] = static_cast<std::uint8_t>((i * 13) ^ (i >> 8));
}

TEST(ReadOut, DumpWith4096ByteBlocksSendsTheAddressOnce) {
  for (const char* route : {"ks", "private"}) {
    SCOPED_TRACE(route);
    SimRig rig;
    rig.open(std::string(R"("route": ")") + route + "\"");
    fillPattern(rig.camera());
    std::vector<std::uint8_t> buffer(0x10000, 0);
    const std::size_t from = rig.traceSize();
    EXPECT_EQ(rig.device->DumpFlash(buffer.data(), 120), 0);
    const auto flash = rig.camera().flash();
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), flash.begin()));

    const auto lines = rig.trace(from);
    ASSERT_EQ(lines.size(), 26u + 2u + 16u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 26),
              tableLines(kFlashCommandTables[0]));
    EXPECT_EQ(lines[26], "0 LEN 15 4096");
    EXPECT_EQ(lines[27], "0 SET 14 00 00 00 00");
    for (std::size_t i = 28; i < lines.size(); ++i)
      EXPECT_EQ(lines[i].rfind("0 GET 15 4096 ", 0), 0u);
  }
}

TEST(ReadOut, DumpWith64ByteBlocksAddressesEveryBlock) {
  SimRig rig;
  rig.open(R"("read_block_length": 64)");
  fillPattern(rig.camera());
  std::vector<std::uint8_t> buffer(0x10000, 0);
  const std::size_t from = rig.traceSize();
  EXPECT_EQ(rig.device->DumpFlash(buffer.data(), 137), 0);
  const auto flash = rig.camera().flash();
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), flash.begin()));

  const auto lines = rig.trace(from);
  ASSERT_EQ(lines.size(), 26u + 2u + 2048u);
  EXPECT_EQ(lines[26], "0 LEN 15 64");
  EXPECT_EQ(lines[27], "0 LEN 15 64");
  EXPECT_EQ(lines[28], "0 SET 14 00 00 00 00");
  EXPECT_EQ(lines[29].rfind("0 GET 15 64 ", 0), 0u);
  EXPECT_EQ(lines[30], "0 SET 14 40 00 00 00");
  EXPECT_EQ(lines[lines.size() - 2], "0 SET 14 C0 FF 00 00");
}

TEST(ReadOut, RangeLandsAtItsFlashAddresses) {
  SimRig rig;
  rig.open();
  fillPattern(rig.camera());
  std::vector<std::uint8_t> buffer(0x20000, 0xA5);
  const std::size_t from = rig.traceSize();
  EXPECT_EQ(rig.core().ReadFlash(buffer.data(), 0, 0x2000, 0xD000), 1);
  EXPECT_EQ(rig.trace(from)[27], "0 SET 14 00 20 00 00");
  const auto flash = rig.camera().flash();
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    const std::uint8_t expected = (i >= 0x2000 && i < 0xD000) ? flash[i] : 0xA5;
    if (buffer[i] != expected) {
      ADD_FAILURE() << "offset " << i;
      break;
    }
  }
}

TEST(ReadOut, EmptyRange) {
  {
    SimRig rig;
    rig.open();
    std::uint8_t byte = 0;
    const std::size_t from = rig.traceSize();
    EXPECT_EQ(rig.core().ReadFlash(&byte, 0, 0x100, 0x100), 1);
    const auto lines = rig.trace(from);
    ASSERT_EQ(lines.size(), 28u);
    EXPECT_EQ(lines[27], "0 SET 14 00 01 00 00");
  }
  {
    SimRig rig;
    rig.open(R"("read_block_length": 64)");
    std::uint8_t byte = 0;
    const std::size_t from = rig.traceSize();
    EXPECT_EQ(rig.core().ReadFlash(&byte, 0, 0x100, 0x100), 1);
    const auto lines = rig.trace(from);
    ASSERT_EQ(lines.size(), 28u);
    EXPECT_EQ(lines[26], "0 LEN 15 64");
    EXPECT_EQ(lines[27], "0 LEN 15 64");
  }
}

TEST(ReadOut, LastBlockNeverWritesPastTheRange) {
  // 100-byte blocks do not divide 64 KB: the last block reaches past the end.
  SimRig rig;
  rig.open(R"("read_block_length": 100)");
  fillPattern(rig.camera());
  std::vector<std::uint8_t> buffer(0x10000 + 200, 0xA5);
  EXPECT_EQ(rig.core().ReadFlash(buffer.data(), 0, 0, 0x10000), 1);
  const auto flash = rig.camera().flash();
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), buffer.begin()));
  EXPECT_TRUE(
      std::all_of(buffer.begin() + 0x10000, buffer.end(), [](auto b) { return b == 0xA5; }));
}

TEST(ReadOut, ReadOutsThatCannotReadWhatTheyClaimFail) {
  std::vector<std::uint8_t> buffer(0x10000, 0);
  {
    // No block length to read with, or one that cannot carry the address.
    for (const char* members : {R"("read_block_length": 0)", R"("read_block_length": 3)"}) {
      SimRig rig;
      rig.open(members);
      const std::size_t from = rig.traceSize();
      EXPECT_EQ(rig.core().ReadFlash(buffer.data(), 0, 0, 0x10000), 0) << members;
      EXPECT_EQ(rig.device->DumpFlash(buffer.data(), 0), 1);
      EXPECT_EQ(linesStartingWith(rig.trace(from), {"0 GET 15", "0 SET 14"}).size(), 0u);
    }
  }
  // A failed read or address request inside the loop, and the length
  // request that precedes it.
  struct Case {
    const char* members;
    const char* prefix;
    int occurrence;
  };
  const Case cases[] = {
      {"", "0 GET 15", 5},
      {"", "0 SET 14", 0},
      {R"("read_block_length": 64)", "0 GET 15", 700},
      {R"("read_block_length": 64)", "0 SET 14", 3},
      {R"("read_block_length": 64)", "0 LEN 15", 2},
      {"", "0 LEN 15", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.members) + " " + c.prefix + " " + std::to_string(c.occurrence));
    SimRig probe;
    probe.open(c.members);
    EXPECT_EQ(probe.device->DumpFlash(buffer.data(), 0), 0);
    const std::uint32_t n = probe.requestNumber(c.prefix, c.occurrence);
    ASSERT_NE(n, 0u);
    SimRig rig;
    std::string members = c.members;
    if (!members.empty()) members += ", ";
    rig.open(members + R"("faults": [{"request": )" + std::to_string(n) +
             R"(, "result": "0x8007001F"}])");
    EXPECT_EQ(rig.device->DumpFlash(buffer.data(), 0), 1);
  }
}

// A chip whose flash-data length changes between the read-out's two length
// requests (the simulated camera always reports one length).
struct ChangingLength {
  FakeRig rig;
  ObservingStack::Observer observer;
  ObservingStack stack{rig.stack, observer};
  Platform platform{rig.os.platform(stack, rig.registry)};
  CCameraDevice device{platform};
  int lengthRequests = 0;

  std::int32_t read(std::uint32_t first, std::uint32_t second, std::vector<std::uint8_t>& buffer) {
    FakeChip& chip = rig.addDevice();
    observer = [&](const KSP_NODE& property, std::uint32_t dataLength) {
      const bool get = (property.Property.Flags & kKsPropertyTypeGet) != 0;
      if (!get || dataLength != 0 || property.Property.Id != XU_FLASH_DATA) return;
      // The command table's request, then the read-out's two.
      ++lengthRequests;
      chip.flashDataLength = lengthRequests == 2 ? first : second;
    };
    EXPECT_EQ(device.OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    chip.trace.clear();
    return device.core()->ReadFlash(buffer.data(), 0, 0, 0x1000);
  }
};

TEST(ReadOut, SecondBlockLengthAboveTheFirstIsRefused) {
  std::vector<std::uint8_t> buffer(0x10000, 0);
  {
    ChangingLength c;
    EXPECT_EQ(c.read(64, 128, buffer), 0);
    EXPECT_TRUE(linesStartingWith(c.rig.chip(0).trace, {"GET 15", "SET 14"}).empty());
  }
  {
    ChangingLength c;
    EXPECT_EQ(c.read(64, 3, buffer), 0);
  }
  {
    // A smaller second length fits the buffer of the first and is used.
    ChangingLength c;
    EXPECT_EQ(c.read(64, 32, buffer), 1);
    const auto reads = linesStartingWith(c.rig.chip(0).trace, {"GET 15"});
    EXPECT_EQ(reads.size(), 0x1000u / 32);
  }
}

TEST(ReadOut, RangesBeyond64KAreRefusedWithoutARequest) {
  SimRig rig;
  rig.open();
  std::vector<std::uint8_t> buffer(0x30000, 0);
  const std::size_t from = rig.traceSize();
  EXPECT_EQ(rig.core().ReadFlash(buffer.data(), 0, 0, 0x10001), 0);
  EXPECT_EQ(rig.core().ReadFlash(buffer.data(), 0, 0x20000, 0x21000), 0);
  EXPECT_EQ(rig.core().ReadFlash(nullptr, 0, 0, 0x1000), 0);
  EXPECT_EQ(rig.traceSize(), from);
}

}  // namespace
}  // namespace qv::test
