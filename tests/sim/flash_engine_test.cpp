// The chip's flash engine: read-out, sector-pair writes, flash-write packets
// and download mode per family, all with the opcodes of the loaded table.

#include <gtest/gtest.h>

#include <numeric>

#include "sim_host.h"

namespace qv::sim::test {
namespace {

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> data(size);
  std::uint32_t x = seed;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return data;
}

std::vector<std::uint8_t> address4(std::uint32_t a) {
  return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), 0, 0};
}

std::vector<std::uint8_t> slice(std::span<const std::uint8_t> data, std::size_t from,
                                std::size_t n) {
  return std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(from),
                                   data.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// A host's download as the update tool runs it; returns the chip's checksum.
struct Download {
  std::uint8_t family;
  bool prepare = false;
  bool unprotect = true;
  std::size_t table = 0;
};

std::uint8_t runDownload(Host& host, const std::vector<std::uint8_t>& buffer, std::size_t length,
                         const Download& how) {
  host.loadTable(kTables[how.table]);
  if (how.prepare) host.set(20, {1});
  if (how.unprotect) {
    host.writeStatus(0x00);
    host.waitReady();
  }
  EXPECT_EQ(host.set(9, {1}), hr::Ok);
  std::uint32_t block = 0;
  EXPECT_EQ(host.len(10, block), hr::Ok);
  const bool engineFamily = how.family >= 106;
  const std::uint32_t rewrite = how.family <= 103 ? 0x8008 : how.family == 104 ? 0xB70A : 0x678A;
  for (std::size_t offset = 0; offset < length; offset += block) {
    std::vector<std::uint8_t> data(block, 0xFF);
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                std::min<std::size_t>(block, length - offset), data.begin());
    EXPECT_EQ(host.set(10, data), hr::Ok);
    if (offset == 0 && !engineFamily) {
      host.pageProgram(0, {static_cast<std::uint8_t>(how.family == 105 ? 0xF9 : 0xF5)});
      host.waitReady();
      host.pageProgram(rewrite, slice(buffer, rewrite, 6));
      host.waitReady();
    }
  }
  std::vector<std::uint8_t> checksum;
  EXPECT_EQ(host.get(11, 1, checksum), hr::Ok);
  if (engineFamily) {
    host.set(12, {1});
  } else {
    host.pageProgram(0, how.family == 105 ? std::vector<std::uint8_t>{0x89, 0x16}
                                          : std::vector<std::uint8_t>{0x55});
    host.waitReady();
    host.writeStatus(0x0C);
    host.waitReady();
  }
  host.set(9, {0});
  return checksum[0];
}

std::uint8_t xorOf(const std::vector<std::uint8_t>& data, std::size_t length, std::size_t blocks) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < length; ++i) x ^= data[i];
  if ((blocks * 4096 - length) % 2 == 1) x ^= 0xFF;
  return x;
}

constexpr std::size_t kImageLength = 32786;

TEST(SimDownload, Family104WritesTheImageAndTheHostsHeaderBytes) {
  auto session = openScene(oneCamera("\"chip_id\": 138"));
  Host host(*session);
  std::vector<std::uint8_t> buffer = pattern(128 * 1024, 1);
  std::fill(buffer.begin() + kImageLength, buffer.end(),
            0x00);  // the tool's buffer beyond the image
  const std::uint8_t checksum = runDownload(host, buffer, kImageLength, {104});
  EXPECT_EQ(checksum, xorOf(buffer, kImageLength, 9));
  const auto flash = session->camera(0).flash();
  EXPECT_EQ(flash[0], 0x55);
  EXPECT_EQ(slice(flash, 1, kImageLength - 1), slice(buffer, 1, kImageLength - 1));
  EXPECT_EQ(slice(flash, kImageLength, 36864 - kImageLength),
            std::vector<std::uint8_t>(36864 - kImageLength, 0xFF));  // the padding
  EXPECT_EQ(slice(flash, 0xB70A, 6), std::vector<std::uint8_t>(6, 0x00));
  EXPECT_EQ(session->camera(0).statusRegister(), 0x0C);
  EXPECT_FALSE(session->camera(0).downloadActive());
}

TEST(SimDownload, Family102KeepsTheRewrittenBytesInsideTheImage) {
  auto session = openScene(oneCamera("\"chip_id\": 106"));
  Host host(*session);
  std::vector<std::uint8_t> buffer = pattern(128 * 1024, 2);
  runDownload(host, buffer, kImageLength, {102});
  const auto flash = session->camera(0).flash();
  EXPECT_EQ(flash[0], 0x55);
  EXPECT_EQ(slice(flash, 1, kImageLength - 1), slice(buffer, 1, kImageLength - 1));
}

TEST(SimDownload, TheChipLeavesAddressZeroAndTheRewriteBytesToTheHost) {
  auto session = openScene(oneCamera("\"chip_id\": 138"));
  Host host(*session);
  host.loadTable(kTables[0]);
  host.writeStatus(0x00);
  host.waitReady();
  host.set(9, {1});
  std::vector<std::uint8_t> zeros(4096, 0x00);
  for (int i = 0; i < 12; ++i) host.set(10, zeros);
  const auto flash = session->camera(0).flash();
  EXPECT_EQ(flash[0], 0xFF);
  EXPECT_EQ(flash[1], 0x00);
  EXPECT_EQ(slice(flash, 0xB708, 10),
            (std::vector<std::uint8_t>{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
}

TEST(SimDownload, Family105ProgramsOnlyAfterPrepare) {
  std::vector<std::uint8_t> buffer = pattern(128 * 1024, 3);
  for (bool prepare : {false, true}) {
    auto session = openScene(oneCamera("\"chip_id\": 165"));
    Host host(*session);
    const std::uint8_t checksum = runDownload(host, buffer, kImageLength, {105, prepare});
    EXPECT_EQ(checksum, xorOf(buffer, kImageLength, 9)) << "checksum counts every byte received";
    const auto flash = session->camera(0).flash();
    if (prepare) {
      EXPECT_EQ(slice(flash, 0, 2),
                (std::vector<std::uint8_t>{0x89, static_cast<std::uint8_t>(0x16 & buffer[1])}));
      EXPECT_EQ(slice(flash, 2, kImageLength - 2), slice(buffer, 2, kImageLength - 2));
    } else {
      // Only the host's own page programs reached the flash.
      EXPECT_EQ(slice(flash, 0x1000, 0x5000), std::vector<std::uint8_t>(0x5000, 0xFF));
    }
  }
}

TEST(SimDownload, Family106CommitsAddressZeroAndIgnoresProtection) {
  auto session = openScene(oneCamera("\"chip_id\": 176"));
  Host host(*session);
  std::vector<std::uint8_t> buffer = pattern(128 * 1024, 4);
  host.loadTable(kTables[0]);
  ASSERT_EQ(host.set(9, {1}), hr::Ok);
  for (std::size_t offset = 0; offset < kImageLength; offset += 4096) {
    std::vector<std::uint8_t> data(4096, 0xFF);
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                std::min<std::size_t>(4096, kImageLength - offset), data.begin());
    host.set(10, data);
  }
  const auto flash = session->camera(0).flash();
  EXPECT_EQ(flash[0], 0xFF) << "address 0 waits for the commit";
  EXPECT_EQ(slice(flash, 1, kImageLength - 1), slice(buffer, 1, kImageLength - 1));
  EXPECT_EQ(session->camera(0).statusRegister(), 0x0C) << "protection untouched";
  host.set(12, {1});
  EXPECT_EQ(flash[0], buffer[0]);
}

TEST(SimDownload, AMismatchedTableLeavesTheOldContents) {
  const std::string path = ::testing::TempDir() + "sim_mismatch.bin";
  const std::vector<std::uint8_t> old = pattern(65536, 9);
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(old.data(), 1, old.size(), f);
    std::fclose(f);
  }
  std::vector<std::uint8_t> buffer = pattern(128 * 1024, 5);
  for (std::size_t table : {0u, 2u}) {
    auto session =
        openScene(oneCamera("\"flash\": \"PM25LD512\", \"flash_file\": \"" + path + "\""));
    {
      Host host(*session);
      runDownload(host, buffer, 8192, {104, false, true, table});
      const auto flash = session->camera(0).flash();
      if (table == 2) {
        EXPECT_EQ(slice(flash, 1, 8191), slice(buffer, 1, 8191));
      } else {
        // 0x20 is no PM25LD512 opcode: nothing was erased, and programming
        // could only clear bits of the old contents.
        EXPECT_NE(slice(flash, 1, 8191), slice(buffer, 1, 8191));
        for (std::size_t i = 1; i < 8192; ++i) {
          EXPECT_EQ(flash[i], old[i] & buffer[i]) << i;
          if (flash[i] != (old[i] & buffer[i])) break;
        }
      }
    }
    session.reset();  // would write the file back
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(old.data(), 1, old.size(), f);
    std::fclose(f);
  }
  std::remove(path.c_str());
}

// SST25VF512 programs one byte per 0x02 command: only the class-1 table's
// mode byte makes the engine program byte by byte.
TEST(SimDownload, ByteProgramPartNeedsItsOwnTable) {
  std::vector<std::uint8_t> buffer = pattern(128 * 1024, 12);
  for (std::size_t table : {1u, 0u}) {
    auto session = openScene(oneCamera(R"("flash": "SST25VF512")"));
    Host host(*session);
    runDownload(host, buffer, 4096, {104, false, true, table});
    const auto flash = session->camera(0).flash();
    if (table == 1) {
      EXPECT_EQ(slice(flash, 1, 4095), slice(buffer, 1, 4095));
    } else {
      EXPECT_EQ(flash[1], buffer[1]) << "first byte of the first run";
      EXPECT_EQ(flash[2], 0xFF);
      EXPECT_EQ(flash[0x100], buffer[0x100]) << "first byte of the next page";
      EXPECT_EQ(flash[0x101], 0xFF);
    }
  }
  auto session = openScene(oneCamera(R"("flash": "SST25VF512", "status_register": 0)"));
  Host host(*session);
  host.pageProgram(0x10, {0x12, 0x34, 0x56});
  host.waitReady();
  EXPECT_EQ(slice(session->camera(0).flash(), 0x10, 3),
            (std::vector<std::uint8_t>{0x12, 0xFF, 0xFF}));
}

TEST(SimDownload, ProtectedFlashStaysUnwrittenOnFamily104) {
  auto session = openScene(oneCamera());
  Host host(*session);
  std::vector<std::uint8_t> buffer = pattern(128 * 1024, 6);
  const std::uint8_t checksum = runDownload(host, buffer, 4096, {104, false, false});
  EXPECT_EQ(checksum, xorOf(buffer, 4096, 1));
  const auto flash = session->camera(0).flash();
  EXPECT_EQ(slice(flash, 0, 4096), std::vector<std::uint8_t>(4096, 0xFF));
}

TEST(SimDownload, BlockLengthAndChecksumXorFault) {
  auto session =
      openScene(oneCamera(R"("dfu_block_length": 512, "faults": [{"checksum_xor": 90}])"));
  Host host(*session);
  std::uint32_t length = 0;
  EXPECT_EQ(host.len(10, length), hr::Ok);
  EXPECT_EQ(length, 512u);
  host.set(9, {1});
  host.set(10, std::vector<std::uint8_t>(512, 0x00));
  std::vector<std::uint8_t> block(512, 0x00);
  block[0] = 0x12;
  block[1] = 0x34;
  host.set(10, block);
  std::vector<std::uint8_t> out;
  host.get(11, 1, out);
  EXPECT_EQ(out[0], 0x12 ^ 0x34 ^ 90);
}

TEST(SimReadOut, BlocksOf4096AdvanceTheAddress) {
  auto session = openScene(oneCamera());
  Host host(*session);
  auto flash = session->camera(0).flash();
  const auto contents = pattern(65536, 7);
  std::copy(contents.begin(), contents.end(), flash.begin());
  host.loadTable(kTables[0]);
  std::uint32_t block = 0;
  ASSERT_EQ(host.len(15, block), hr::Ok);
  ASSERT_EQ(block, 4096u);
  const std::size_t start = session->traceLines().size();
  host.set(14, address4(0x2000));
  std::vector<std::uint8_t> read;
  for (int i = 0; i < 11; ++i) {
    std::vector<std::uint8_t> out;
    ASSERT_EQ(host.get(15, 4096, out), hr::Ok);
    read.insert(read.end(), out.begin(), out.end());
  }
  EXPECT_EQ(read, slice(contents, 0x2000, 0xB000));
  EXPECT_EQ(session->traceLines()[start], "0 SET 14 00 20 00 00");
}

TEST(SimReadOut, BlocksOf64WithAnAddressEach) {
  auto session = openScene(oneCamera("\"read_block_length\": 64"));
  Host host(*session);
  auto flash = session->camera(0).flash();
  const auto contents = pattern(65536, 8);
  std::copy(contents.begin(), contents.end(), flash.begin());
  host.loadTable(kTables[0]);
  std::uint32_t block = 0;
  ASSERT_EQ(host.len(15, block), hr::Ok);
  ASSERT_EQ(block, 64u);
  for (std::uint32_t a : {0x0000u, 0xFFC0u, 0x1240u}) {
    host.set(14, address4(a));
    std::vector<std::uint8_t> out;
    ASSERT_EQ(host.get(15, 64, out), hr::Ok);
    EXPECT_EQ(out, slice(contents, a, 64)) << a;
  }
}

TEST(SimReadOut, NothingIsReadWithoutALoadedTable) {
  auto session = openScene(oneCamera());
  Host host(*session);
  session->camera(0).flash()[0] = 0x00;
  host.set(14, address4(0));
  std::vector<std::uint8_t> out;
  EXPECT_EQ(host.get(15, 4096, out), hr::Ok);
  EXPECT_EQ(out, std::vector<std::uint8_t>(4096, 0xFF));
}

TEST(SimSectorPair, HalvesProgramTheirRowsOfTheUnit) {
  auto session = openScene(oneCamera("\"chip_id\": 104"));
  Host host(*session);
  const auto unit = pattern(4096, 10);
  std::vector<std::uint8_t> first(4096, 0xFF), second(4096, 0xFF);
  for (std::size_t k = 0; k < 64; ++k) {
    std::copy_n(unit.begin() + 64 * k, 32, first.begin() + 64 * k + 32);
    std::copy_n(unit.begin() + 64 * k + 32, 32, second.begin() + 64 * k + 32);
  }
  auto flash = session->camera(0).flash();
  std::fill_n(flash.begin() + 0x1000, 4096, 0x00);  // old contents: the erase must run
  host.loadTable(kTables[0]);
  host.writeStatus(0x00);
  host.waitReady();
  host.set(13, address4(0x1000));
  EXPECT_EQ(slice(flash, 0x1000, 4096), std::vector<std::uint8_t>(4096, 0xFF));
  host.set(14, address4(0x1000));
  host.set(15, first);
  // After the first half: bytes 0..31 of each row are programmed only.
  EXPECT_EQ(slice(flash, 0x1000, 32), slice(unit, 0, 32));
  EXPECT_EQ(slice(flash, 0x1020, 32), std::vector<std::uint8_t>(32, 0xFF));
  host.set(14, address4(0x1020));
  host.set(15, second);
  EXPECT_EQ(slice(flash, 0x1000, 4096), unit);
  EXPECT_EQ(flash[0x0FFF], 0xFF);
  EXPECT_EQ(flash[0x2000], 0xFF);
}

TEST(SimPackets, Family106CarriesTheLengthInByteZero) {
  auto session = openScene(oneCamera("\"chip_id\": 176"));
  Host host(*session);
  host.loadTable(kTables[0]);
  host.set(14, address4(0x0100));
  std::vector<std::uint8_t> packet(64, 0xFF);
  packet[0] = 3;
  packet[1] = 0x11;
  packet[2] = 0x22;
  packet[3] = 0x33;
  packet[4] = 0x00;  // beyond the length: not programmed
  EXPECT_EQ(host.set(22, packet), hr::Ok);
  const auto flash = session->camera(0).flash();
  EXPECT_EQ(slice(flash, 0x100, 5), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0xFF, 0xFF}));
  EXPECT_EQ(session->camera(0).statusRegister(), 0x0C) << "written despite protection";
}

TEST(SimPackets, Families107And108ProgramAll64Bytes) {
  for (int chip : {0xC0, 0xD0}) {
    auto session = openScene(oneCamera("\"chip_id\": " + std::to_string(chip)));
    Host host(*session);
    host.loadTable(kTables[0]);
    host.set(14, address4(0x0200));
    const auto packet = pattern(64, 11);
    EXPECT_EQ(host.set(22, packet), hr::Ok);
    EXPECT_EQ(slice(session->camera(0).flash(), 0x200, 64), packet) << chip;
  }
  auto session = openScene(oneCamera("\"chip_id\": 138"));
  Host host(*session);
  EXPECT_EQ(host.set(22, std::vector<std::uint8_t>(64, 0)), hr::NotFound) << "not on family 104";
}

TEST(SimChipReset, ResetClearsDownloadStateAndTable) {
  auto session = openScene(oneCamera("\"chip_id\": 176"));
  Host host(*session);
  host.loadTable(kTables[1]);
  host.set(9, {1});
  host.set(10, {1, 2, 3});
  CameraModel& model = session->camera(0);
  EXPECT_TRUE(model.downloadActive());
  EXPECT_EQ(model.commandTable()[10], 0xAF);
  for (auto [reg, value] : std::vector<std::pair<std::uint16_t, std::uint8_t>>{
           {0x2030, 0xFF}, {0x2031, 0x00}, {0x2032, 0x00}, {0x2033, 0x02}}) {
    host.writeReg(reg, value);
    EXPECT_TRUE(model.downloadActive());
  }
  host.writeReg(0x2034, 0x01);
  EXPECT_FALSE(model.downloadActive());
  EXPECT_EQ(model.downloadChecksum(), 0);
  EXPECT_EQ(model.commandTable()[10], 0xFF);
  EXPECT_EQ(model.flashMode(), 0);
  EXPECT_EQ(model.resetCount(), 1u);
}

}  // namespace
}  // namespace qv::sim::test
