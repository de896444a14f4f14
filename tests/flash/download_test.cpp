// The download engine end to end on the simulated camera: flash contents,
// status register, download-mode requests, messages, status bytes and
// results, clean and under faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flash/download_engine.h"
#include "tests/flash/sim_rig.h"

namespace qv::test {
namespace {

constexpr std::uint32_t kImageLength = 32786;  // the embedded images' length

// The update job's buffer: 128 KB, the image at its start, zero beyond.
std::vector<std::uint8_t> makeImage(std::uint32_t length = kImageLength) {
  std::vector<std::uint8_t> image(0x20000, 0);
  for (std::uint32_t i = 0; i < length; ++i)
    image[i] = static_cast<std::uint8_t>((i * 31 + 7) ^ (i >> 9));
  image[1] = 0x16;  // the second signature byte of family 105's final header
  return image;
}

struct Outcome {
  std::int32_t result = -1;
  std::uint8_t computed = 0xEE, device = 0xEE, state = 0xEE, progress = 0xEE;
  std::vector<std::uint8_t> image;  // the buffer after the call
  std::vector<std::string> trace;   // the lines the call caused
  std::string console;
};

Outcome download(SimRig& rig, std::uint8_t type, std::vector<std::uint8_t> image,
                 std::uint32_t length = kImageLength, bool tracing = true) {
  Outcome out;
  rig.device->SetTraceFlag(tracing ? 1 : 0);
  const std::size_t from = rig.traceSize();
  const std::size_t consoleFrom = rig.os.console.out.size();
  out.result = rig.device->DownloadFirmware(image.data(), length, type, &out.computed, &out.device,
                                            &out.state, &out.progress);
  out.image = std::move(image);
  out.trace = rig.trace(from);
  out.console = rig.os.console.out.substr(consoleFrom);
  return out;
}

std::uint8_t xorOf(const std::vector<std::uint8_t>& bytes, std::uint32_t length) {
  std::uint8_t x = 0;
  for (std::uint32_t i = 0; i < length; ++i) x ^= bytes[i];
  return x;
}

// The download-mode requests and the pauses of a trace, data blocks shortened
// to "0 SET 10".
std::vector<std::string> downloadRequests(const std::vector<std::string>& trace) {
  std::vector<std::string> out;
  for (const std::string& line : linesStartingWith(
           trace,
           {"0 SET 9 ", "0 LEN 10", "0 SET 10", "0 GET 11", "0 SET 12", "0 SET 20", "SLEEP"})) {
    out.push_back(line.rfind("0 SET 10 ", 0) == 0 ? "0 SET 10" : line);
  }
  return out;
}

std::vector<std::string> withBlocks(std::vector<std::string> head, int blocks,
                                    std::vector<std::string> tail) {
  for (int i = 0; i < blocks; ++i) head.push_back("0 SET 10");
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Chip IDs of the seven families.
struct Family {
  int chipId;
  ChipFamily family;
};
constexpr Family kFamilies[] = {{0x61, 102}, {0x91, 103}, {0x8A, 104}, {0xA1, 105},
                                {0xB1, 106}, {0xC1, 107}, {0xD1, 108}};

std::string chip(int chipId) { return R"("chip_id": )" + std::to_string(chipId); }

// What the flash must hold after a successful download of `image` (patched)
// onto a flash that held `before`.
std::vector<std::uint8_t> expectedFlash(const std::vector<std::uint8_t>& before,
                                        const std::vector<std::uint8_t>& image,
                                        std::uint32_t length, ChipFamily family) {
  std::vector<std::uint8_t> flash = before;
  const std::uint32_t programmed = (length + 4095) / 4096 * 4096;
  for (std::uint32_t a = 0; a < programmed; ++a) flash[a] = a < length ? image[a] : 0xFF;
  const DownloadFamilyProfile& profile = DownloadProfileOf(family);
  if (profile.marksHeader) {
    // The chip erases the sector of the rewritten bytes with the first block
    // (also when it lies beyond the image), and the host programs them.
    const std::uint32_t sector = profile.rewriteOffset / 4096 * 4096;
    if (sector >= programmed)
      std::fill(flash.begin() + sector, flash.begin() + sector + 4096, 0xFF);
    for (std::uint32_t i = 0; i < 6; ++i)
      flash[profile.rewriteOffset + i] = image[profile.rewriteOffset + i];
    flash[0] = profile.finalHeader[0];
    if (profile.finalHeaderLength > 1) flash[1] &= profile.finalHeader[1];
  }
  return flash;
}

void expectFlash(SimRig& rig, const std::vector<std::uint8_t>& expected) {
  const auto flash = rig.camera().flash();
  ASSERT_EQ(flash.size(), expected.size());
  for (std::size_t i = 0; i < flash.size(); ++i) {
    if (flash[i] != expected[i]) {
      ADD_FAILURE() << "flash byte 0x" << std::hex << i << " is 0x" << int(flash[i])
                    << ", expected 0x" << int(expected[i]);
      return;
    }
  }
}

TEST(Download, EveryFamilyWritesTheImage) {
  for (const Family& f : kFamilies) {
    for (const char* routeName : {"ks", "private"}) {
      SCOPED_TRACE(std::to_string(f.family) + " " + routeName);
      SimRig rig;
      rig.open(chip(f.chipId) + R"(, "route": ")" + routeName + "\"");
      // Old contents of zeros: erased sectors, padding and untouched bytes
      // then all tell apart.
      auto flash = rig.camera().flash();
      std::fill(flash.begin(), flash.end(), 0x00);
      const std::vector<std::uint8_t> before(flash.begin(), flash.end());

      const Outcome out = download(rig, 122, makeImage());
      EXPECT_EQ(out.result, 0);
      EXPECT_EQ(out.console, "Transfer data\n");
      EXPECT_EQ(out.state, UPD_DONE);
      EXPECT_EQ(out.progress, 100);
      EXPECT_EQ(out.computed, xorOf(out.image, kImageLength));
      // 3278 bytes of 0xFF padding (an even count) leave the checksum as is.
      EXPECT_EQ(out.device, out.computed);

      // The image code byte for class 0 at the family's offset.
      const ImageCodeRow* row = ImageCodeRowOf(f.family);
      ASSERT_NE(row, nullptr);
      EXPECT_EQ(out.image[row->offset], row->codes[0]);
      expectFlash(rig, expectedFlash(before, out.image, kImageLength, f.family));

      const DownloadFamilyProfile& profile = DownloadProfileOf(f.family);
      std::vector<std::string> head;
      if (profile.prepares) head.push_back("0 SET 20 01");
      head.insert(head.end(), {"0 SET 9 01", "0 LEN 10 4096", "0 LEN 10 4096"});
      char checksum[32];
      std::snprintf(checksum, sizeof(checksum), "0 GET 11 1 %02X", out.computed);
      std::vector<std::string> tail = {checksum, "SLEEP 500"};
      if (profile.commits) tail.push_back("0 SET 12 01");
      tail.push_back("0 SET 9 00");
      if (profile.resetsAfterLeave) tail.push_back("SLEEP 500");
      EXPECT_EQ(downloadRequests(out.trace), withBlocks(head, 9, tail));

      if (profile.resetsAfterLeave) {
        const std::vector<std::string> reset = {
            "0 SET 2 30 20", "0 SET 3 FF",    "0 SET 2 31 20", "0 SET 3 00",    "0 SET 2 32 20",
            "0 SET 3 00",    "0 SET 2 33 20", "0 SET 3 02",    "0 SET 2 34 20", "0 SET 3 01"};
        EXPECT_EQ(std::vector<std::string>(out.trace.end() - 10, out.trace.end()), reset);
        // Protection is left as it was: these families ignore it.
        EXPECT_EQ(rig.camera().statusRegister(), 0x0C);
      } else {
        EXPECT_EQ(out.trace.back(), "0 SET 9 00");
        EXPECT_EQ(rig.camera().statusRegister(), 0x0C);
      }
      EXPECT_FALSE(rig.camera().downloadActive());
    }
  }
}

TEST(Download, EveryRouteAndPropertySet) {
  for (const char* members : {R"("route": "private")", R"("route": "both")",
                              R"("xu_guid": "secondary")", R"("nodes": ["other", "xu"])"}) {
    SCOPED_TRACE(members);
    SimRig rig;
    rig.open(members);
    const auto flash = rig.camera().flash();
    const std::vector<std::uint8_t> before(flash.begin(), flash.end());
    const Outcome out = download(rig, 141, makeImage());
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.image[0x501F], 3);  // class 5 on family 104
    expectFlash(rig, expectedFlash(before, out.image, kImageLength, 104));
    EXPECT_EQ(rig.camera().statusRegister(), 0x0C);
  }
}

TEST(Download, EveryPartWithItsOwnCommandTable) {
  // A wrong table leaves the simulated flash unwritten, so each part's
  // download proves its table.
  for (const FlashPart& part : kFlashParts) {
    if (part.code == 128) continue;
    SCOPED_TRACE(part.name);
    SimRig rig;
    rig.open(std::string(R"("flash": ")") + part.name + "\"");
    std::uint8_t type = 0;
    rig.device->QueryFlashType(type);
    const auto flash = rig.camera().flash();
    const std::vector<std::uint8_t> before(flash.begin(), flash.end());
    const Outcome out = download(rig, type, makeImage(), kImageLength, false);
    EXPECT_EQ(out.result, 0);
    expectFlash(rig, expectedFlash(before, out.image, kImageLength, 104));
    EXPECT_EQ(rig.camera().statusRegister(), 0x0C);
  }
}

TEST(Download, ProgressOfEveryBlock) {
  SimRig rig;
  std::vector<int> seen;
  Outcome* current = nullptr;
  rig.observer = [&](const KSP_NODE& property, std::uint32_t) {
    const bool set = (property.Property.Flags & kKsPropertyTypeSet) != 0;
    if (current != nullptr && set && property.Property.Id == XU_DFU_DATA)
      seen.push_back(current->progress);
    if (current != nullptr && !set && property.Property.Id == XU_DFU_CHECKSUM)
      seen.push_back(current->progress);
  };
  rig.open();
  Outcome out;
  current = &out;
  std::vector<std::uint8_t> image = makeImage();
  out.result = rig.device->DownloadFirmware(image.data(), kImageLength, 122, &out.computed,
                                            &out.device, &out.state, &out.progress);
  current = nullptr;
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(seen, (std::vector<int>{5, 16, 27, 38, 49, 61, 72, 83, 94, 95}));
  EXPECT_EQ(out.progress, 100);
}

TEST(Download, ShortLastBlockIsPaddedAndCounted) {
  SimRig rig;
  rig.open();
  const Outcome out = download(rig, 122, makeImage(5000), 5000);
  EXPECT_EQ(out.result, 0);
  const auto blocks = linesStartingWith(out.trace, {"0 SET 10 "});
  ASSERT_EQ(blocks.size(), 2u);
  // 904 image bytes, then 3192 bytes of 0xFF.
  std::string tail;
  for (int i = 0; i < 3192; ++i) tail += " FF";
  EXPECT_EQ(blocks[1].size(), std::string("0 SET 10").size() + 4096 * 3);
  EXPECT_EQ(blocks[1].substr(blocks[1].size() - tail.size()), tail);
  EXPECT_NE(blocks[1].substr(blocks[1].size() - tail.size() - 3, 3), " FF");
  EXPECT_EQ(out.device, out.computed);
}

TEST(Download, OddPaddingComplementsTheRunningChecksum) {
  // 4097 bytes: the second block carries 1 image byte and 4095 pad bytes.
  SimRig rig;
  rig.open();
  const Outcome out = download(rig, 122, makeImage(4097), 4097);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.device, static_cast<std::uint8_t>(~out.computed));
}

TEST(Download, EmptyImage) {
  SimRig rig;
  rig.open();
  const Outcome out = download(rig, 122, makeImage(0), 0);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.computed, 0);
  EXPECT_EQ(out.device, 0);
  EXPECT_EQ(out.console, "Transfer data\n");
  EXPECT_EQ(downloadRequests(out.trace),
            (std::vector<std::string>{"0 SET 9 01", "0 LEN 10 4096", "0 LEN 10 4096",
                                      "0 GET 11 1 00", "SLEEP 500", "0 SET 9 00"}));
}

TEST(Download, RefusedTypesSendNothingAndStoreNothing) {
  SimRig rig;
  rig.open();
  for (std::uint8_t type : {7, 120, 145, 255}) {
    const Outcome out = download(rig, type, makeImage());
    EXPECT_EQ(out.result, STATUS_REFUSED);
    EXPECT_TRUE(out.trace.empty());
    EXPECT_EQ(out.state, 0xEE);
    EXPECT_EQ(out.progress, 0xEE);
    EXPECT_EQ(out.computed, 0xEE);
    EXPECT_EQ(out.image, makeImage());
  }
}

TEST(Download, NullImage) {
  SimRig rig;
  rig.open();
  rig.device->SetTraceFlag(1);
  std::uint8_t state = 0, progress = 0;
  EXPECT_EQ(rig.device->DownloadFirmware(nullptr, 100, 122, nullptr, nullptr, &state, &progress),
            1);
  EXPECT_EQ(rig.os.console.out, "NULL FW\n");
  EXPECT_EQ(state, UPD_START);
  EXPECT_EQ(progress, 5);
  EXPECT_EQ(rig.traceSize(), rig.openedAt);
}

TEST(Download, NullStatusPlacesAreSkipped) {
  SimRig rig;
  rig.open();
  std::vector<std::uint8_t> image = makeImage();
  EXPECT_EQ(rig.device->DownloadFirmware(image.data(), kImageLength, 122, nullptr, nullptr, nullptr,
                                         nullptr),
            0);
}

TEST(Download, SilentWithoutTheTraceFlag) {
  SimRig rig;
  rig.open(R"("faults": [{"checksum_xor": 1}])");
  const Outcome out = download(rig, 122, makeImage(), kImageLength, false);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(rig.os.console.out, "");
}

TEST(Download, ChecksumMismatchLeavesTheTransferHeaderAndNoProtection) {
  SimRig rig;
  rig.open(R"("faults": [{"checksum_xor": 90}])");
  const Outcome out = download(rig, 122, makeImage());
  EXPECT_EQ(out.result, 1);
  const std::uint8_t device = out.computed ^ 90;
  char expected[64];
  std::snprintf(expected, sizeof(expected), "Transfer data\nChecksum fail 0x%X != 0x%X\n", device,
                out.computed);
  EXPECT_EQ(out.console, expected);
  EXPECT_EQ(out.device, device);
  EXPECT_EQ(out.state, UPD_DONE);
  EXPECT_EQ(out.progress, 100);
  EXPECT_EQ(rig.camera().flash()[0], 0xF5);
  EXPECT_EQ(rig.camera().statusRegister(), 0x00);
  EXPECT_EQ(out.trace.back(), "0 SET 9 00");
}

// Runs a clean download to number its requests, then the same download with
// `count` failures from the `occurrence`-th request whose line starts with
// `prefix`.
Outcome downloadWithFault(const std::string& members, const std::string& prefix, int occurrence,
                          int count, std::uint8_t type = 122, SimRig* keep = nullptr) {
  std::uint32_t n = 0;
  {
    SimRig probe;
    probe.open(members);
    const Outcome clean = download(probe, type, makeImage());
    EXPECT_EQ(clean.result, 0) << "clean run of " << members;
    n = probe.requestNumber(prefix, occurrence);
  }
  EXPECT_NE(n, 0u) << prefix;
  SimRig local;
  SimRig& rig = keep != nullptr ? *keep : local;
  std::string faulty = members.empty() ? "" : members + ", ";
  faulty += R"("faults": [{"request": )" + std::to_string(n) +
            R"(, "result": "0x8007001F", "count": )" + std::to_string(count) + "}]";
  rig.open(faulty);
  return download(rig, type, makeImage());
}

TEST(DownloadFailures, EnableRetried) {
  SimRig rig;
  const Outcome out = downloadWithFault("", "0 SET 9 01", 0, 1, 122, &rig);
  EXPECT_EQ(out.result, 1);
  char expected[96];
  std::snprintf(expected, sizeof(expected),
                "DFU init fail\nTransfer data\nChecksum fail 0x%X != 0x%X\n", out.computed,
                out.computed);
  EXPECT_EQ(out.console, expected);
  EXPECT_EQ(rig.camera().flash()[0], 0xF5);  // no final header
  EXPECT_EQ(out.state, UPD_DONE);
}

TEST(DownloadFailures, EnableFailsTwice) {
  const Outcome out = downloadWithFault("", "0 SET 9 01", 0, 2);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.console, "DFU init fail\n");
  EXPECT_EQ(downloadRequests(out.trace),
            (std::vector<std::string>{"0 SET 9 !8007001F", "0 SET 9 !8007001F", "0 SET 9 00"}));
  EXPECT_EQ(out.state, UPD_DONE);
  EXPECT_EQ(out.progress, 100);
}

TEST(DownloadFailures, BlockLength) {
  // The first length request is not looked at.
  Outcome out = downloadWithFault("", "0 LEN 10", 0, 1);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.console, "Transfer data\n");

  out = downloadWithFault("", "0 LEN 10", 1, 1);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.console.rfind("DFU Access fail\nTransfer data\nChecksum fail 0x", 0), 0u);

  out = downloadWithFault("", "0 LEN 10", 1, 2);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.console, "DFU Access fail\n");
  EXPECT_EQ(downloadRequests(out.trace),
            (std::vector<std::string>{"0 SET 9 01", "0 LEN 10 4096", "0 LEN 10 !8007001F",
                                      "0 LEN 10 !8007001F", "0 SET 9 00"}));
}

TEST(DownloadFailures, BlockLengthsTheStagingBufferCannotTakeAreRefused) {
  for (const char* members :
       {R"("dfu_block_length": 0)", R"("dfu_block_length": 4097)", R"("dfu_block_length": 8192)"}) {
    SCOPED_TRACE(members);
    SimRig rig;
    rig.open(members);
    const Outcome out = download(rig, 122, makeImage());
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.console, "");
    const auto requests = downloadRequests(out.trace);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], "0 SET 9 01");
    EXPECT_EQ(requests[3], "0 SET 9 00");
    EXPECT_EQ(out.state, UPD_DONE);
    EXPECT_EQ(out.progress, 100);
  }
}

TEST(DownloadFailures, SmallerBlocksAreFine) {
  SimRig rig;
  rig.open(R"("dfu_block_length": 1000)");
  const auto flash = rig.camera().flash();
  const std::vector<std::uint8_t> before(flash.begin(), flash.end());
  const Outcome out = download(rig, 122, makeImage());
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(linesStartingWith(out.trace, {"0 SET 10 "}).size(), 33u);
  expectFlash(rig, expectedFlash(before, out.image, kImageLength, 104));
}

TEST(DownloadFailures, FirstBlockRetriedStillMarksTheHeader) {
  SimRig rig;
  const Outcome out = downloadWithFault("", "0 SET 10 ", 0, 1, 122, &rig);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.console.rfind("Transfer data\nfail()\n   DFU Access fail\nChecksum fail 0x", 0),
            0u);
  // The header byte goes out right after the failed first attempt, before
  // the retry.
  std::size_t failedAt = 0, headerAt = 0, retryAt = 0;
  for (std::size_t i = 0; i < out.trace.size(); ++i) {
    if (out.trace[i] == "0 SET 10 !8007001F") failedAt = i;
    if (headerAt == 0 && out.trace[i] == "0 SET 3 F5") headerAt = i;
    if (retryAt == 0 && failedAt != 0 && out.trace[i].rfind("0 SET 10 ", 0) == 0 &&
        out.trace[i] != "0 SET 10 !8007001F")
      retryAt = i;
  }
  EXPECT_LT(failedAt, headerAt);
  EXPECT_LT(headerAt, retryAt);
}

TEST(DownloadFailures, BlockFailsTwice) {
  const Outcome out = downloadWithFault("", "0 SET 10 ", 3, 2);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.console, "Transfer data\nfail()\n   DFU Access fail\n");
  const auto requests = downloadRequests(out.trace);
  EXPECT_EQ(requests.back(), "0 SET 9 00");
  EXPECT_EQ(linesStartingWith(out.trace, {"0 GET 11"}).size(), 0u);
}

TEST(DownloadFailures, ChecksumRequest) {
  // A first failure alone is not counted.
  SimRig rig;
  Outcome out = downloadWithFault("", "0 GET 11", 0, 1, 122, &rig);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.console, "Transfer data\nChecksum fail\n");
  EXPECT_EQ(rig.camera().flash()[0], 0x55);

  out = downloadWithFault("", "0 GET 11", 0, 2);
  EXPECT_EQ(out.result, 1);
  char expected[96];
  std::snprintf(expected, sizeof(expected),
                "Transfer data\nChecksum fail\nChecksum fail 0x%X != 0x%X\n", out.computed,
                out.computed);
  EXPECT_EQ(out.console, expected);

  out = downloadWithFault("", "0 GET 11", 0, 3);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.console, "Transfer data\nChecksum fail\n");
  EXPECT_EQ(downloadRequests(out.trace).back(), "0 SET 9 00");
  EXPECT_EQ(out.state, UPD_DONE);
}

TEST(DownloadFailures, Disable) {
  SimRig rig;
  Outcome out = downloadWithFault("", "0 SET 9 00", 0, 1, 122, &rig);
  EXPECT_EQ(out.result, 0);  // the flash was written; leaving succeeded on retry
  EXPECT_EQ(out.console, "Transfer data\nDFU Disable fail\n");
  EXPECT_FALSE(rig.camera().downloadActive());

  out = downloadWithFault("", "0 SET 9 00", 0, 2);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.state, UPD_DONE);
  EXPECT_EQ(out.progress, 100);
}

TEST(DownloadFailures, Family106ResetsOnceEvenWhenLeavingFails) {
  std::uint32_t n = 0;
  {
    SimRig probe;
    probe.open(chip(0xB1));
    ASSERT_EQ(download(probe, 122, makeImage()).result, 0);
    n = probe.requestNumber("0 SET 9 00");
  }
  // The leave request, and its retry after the ten requests of the reset.
  SimRig rig;
  rig.open(chip(0xB1) + R"(, "faults": [{"request": )" + std::to_string(n) +
           R"(, "result": "0x8007001F"}, {"request": )" + std::to_string(n + 11) +
           R"(, "result": "0x8007001F"}])");
  const Outcome out = download(rig, 122, makeImage());
  EXPECT_EQ(out.result, 1);
  const auto requests = downloadRequests(out.trace);
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(requests.end() - 4, requests.end()),
            (std::vector<std::string>{"0 SET 12 01", "0 SET 9 !8007001F", "SLEEP 500",
                                      "0 SET 9 !8007001F"}));
  EXPECT_EQ(linesStartingWith(out.trace, {"0 SET 2 34 20"}).size(), 1u);
}

// Failures the download does not retry, each of which may leave the flash
// other than reported: the update must fail, with the same requests sent.
TEST(DownloadFailures, IgnoredFailuresStillFailTheUpdate) {
  struct Case {
    const char* what;
    std::string members;
    const char* prefix;
    int occurrence;
  };
  const Case cases[] = {
      {"command table value", "", "0 SET 8 ", 5},
      {"command table mode", "", "0 SET 16 ", 0},
      {"command table length", "", "0 LEN 15", 0},
      {"unprotect write enable", "", "0 SET 3 06", 0},
      {"unprotect status value", "", "0 SET 3 01", 0},
      {"header byte", "", "0 SET 3 F5", 0},
      {"header rewrite write enable", "", "0 SET 3 06", 2},
      {"final header", "", "0 SET 3 55", 0},
      {"protect write enable", "", "0 SET 3 06", 4},
      {"protect status value", "", "0 SET 3 0C", 0},
      {"prepare", chip(0xA1), "0 SET 20 ", 0},
      {"commit", chip(0xB1), "0 SET 12 ", 0},
      {"final header 105", chip(0xA1), "0 SET 3 89", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome out = downloadWithFault(c.members, c.prefix, c.occurrence, 1);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.state, UPD_DONE);
    EXPECT_EQ(out.progress, 100);
    EXPECT_FALSE(linesStartingWith(out.trace, {"0 SET 9 00"}).empty());
  }
}

TEST(DownloadFailures, WaitsThatGiveUpFailTheUpdateAndEnd) {
  for (const char* members :
       {R"("faults": [{"spi_busy": "stuck"}])", R"("faults": [{"wip": "stuck"}])"}) {
    SCOPED_TRACE(members);
    SimRig rig;
    rig.open(members);
    const Outcome out = download(rig, 122, makeImage());
    EXPECT_EQ(out.result, 1);
    EXPECT_TRUE(rig.core().faulted());
    EXPECT_EQ(out.state, UPD_DONE);
  }
}

TEST(DownloadFailures, UnplugAnywhereFails) {
  SimRig probe;
  probe.open();
  const std::uint32_t opened = probe.requestsAtOpen();
  const Outcome clean = download(probe, 122, makeImage());
  ASSERT_EQ(clean.result, 0);
  const std::uint32_t total =
      opened + static_cast<std::uint32_t>(linesStartingWith(clean.trace, {"0 "}).size());
  for (std::uint32_t n = opened; n < total; n += 97) {
    SCOPED_TRACE(n);
    SimRig rig;
    rig.open(R"("faults": [{"unplug_after": )" + std::to_string(n) + "}]");
    const Outcome out = download(rig, 122, makeImage(), kImageLength, false);
    EXPECT_EQ(out.result, 1);
  }
}

TEST(Gpio, SettingFileAsksForIt) {
  struct Case {
    const char* value;  // null: no key
    bool prepares;
  };
  const Case cases[] = {{"1", true},  {"  1", true},   {"1abc", true}, {"+1", true},
                        {"2", false}, {"0", false},    {"11", false},  {"x1", false},
                        {"", false},  {nullptr, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(absent)");
    SimRig rig;
    rig.os.files.executablePath = L"C:\\tools\\qv\\qvflash.exe";
    if (c.value != nullptr) rig.profile.values["SETTING/GPIO"] = c.value;
    rig.open();
    const Outcome out = download(rig, 122, makeImage());
    EXPECT_EQ(out.result, 0);
    ASSERT_EQ(rig.profile.paths.size(), 1u);
    EXPECT_EQ(rig.profile.paths[0], L"C:\\tools\\qv\\setting.ini");
    // The GPIO register updates come before the command table.
    std::vector<std::string> gpio;
    for (const std::string& line : out.trace) {
      if (line == "0 SET 7 01") break;
      gpio.push_back(line);
    }
    if (c.prepares) {
      EXPECT_EQ(gpio, (std::vector<std::string>{"0 SET 2 41 20", "0 GET 3 1 00", "0 SET 2 41 20",
                                                "0 SET 3 02", "SLEEP 50", "0 SET 2 43 20",
                                                "0 GET 3 1 00", "0 SET 2 43 20", "0 SET 3 02"}));
      EXPECT_EQ(rig.camera().peekRegister(0x2041), 0x02);
      EXPECT_EQ(rig.camera().peekRegister(0x2043), 0x02);
    } else {
      EXPECT_TRUE(gpio.empty());
    }
  }
}

TEST(Gpio, KeepsTheOtherBits) {
  SimRig rig;
  rig.profile.values["SETTING/GPIO"] = "1";
  rig.open();
  ASSERT_EQ(rig.core().WriteRegister(0x2041, 0x81), 0);
  ASSERT_EQ(rig.core().WriteRegister(0x2043, 0x02), 0);
  EXPECT_EQ(download(rig, 122, makeImage()).result, 0);
  EXPECT_EQ(rig.camera().peekRegister(0x2041), 0x83);
  EXPECT_EQ(rig.camera().peekRegister(0x2043), 0x02);
}

// A GPIO register whose read failed is left alone: the read's filler
// written back would drive every line of the port high. The other register
// is still prepared, and the download goes on.
TEST(Gpio, ARegisterWhoseReadFailedIsNotWritten) {
  struct Case {
    std::uint16_t failing;
    std::vector<std::string> gpio;
  };
  const Case cases[] = {
      {0x2041,
       {"0 SET 2 41 20", "0 GET 3 1 !8007001F", "SLEEP 50", "0 SET 2 43 20", "0 GET 3 1 00",
        "0 SET 2 43 20", "0 SET 3 02"}},
      {0x2043,
       {"0 SET 2 41 20", "0 GET 3 1 00", "0 SET 2 41 20", "0 SET 3 02", "SLEEP 50", "0 SET 2 43 20",
        "0 GET 3 1 !8007001F"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    SimRig probe;
    probe.open();
    // The GET of the failing register's read: 2nd or 6th request of the
    // preparation.
    const std::uint32_t get = probe.requestsAtOpen() + (c.failing == 0x2041 ? 2 : 6);
    SimRig rig;
    rig.profile.values["SETTING/GPIO"] = "1";
    rig.open(R"("faults": [{"request": )" + std::to_string(get) + R"(, "result": "0x8007001F"}])");
    const Outcome out = download(rig, 122, makeImage());
    EXPECT_EQ(out.result, 0);
    std::vector<std::string> gpio;
    for (const std::string& line : out.trace) {
      if (line == "0 SET 7 01") break;
      gpio.push_back(line);
    }
    EXPECT_EQ(gpio, c.gpio);
    EXPECT_EQ(rig.camera().peekRegister(c.failing), 0x00);
    EXPECT_EQ(rig.camera().peekRegister(c.failing ^ 0x0002), 0x02);
  }
}

TEST(Gpio, NoExecutableDirectoryMeansNoPreparation) {
  SimRig rig;
  rig.os.files.executablePath = L"qvflash.exe";  // no separator
  rig.profile.values["SETTING/GPIO"] = "1";
  rig.open();
  const Outcome out = download(rig, 122, makeImage());
  EXPECT_EQ(out.result, 0);
  EXPECT_TRUE(rig.profile.paths.empty());
  EXPECT_TRUE(linesStartingWith(out.trace, {"0 SET 2 41 20"}).empty());
}

TEST(Protection, Operations) {
  {
    SimRig rig;
    rig.open();
    const std::size_t from = rig.traceSize();
    EXPECT_EQ(rig.device->UnprotectFlash(1), 0);
    EXPECT_EQ(rig.camera().statusRegister(), 0x0C);  // GD25Q512 has no 0x50
    const auto lines = rig.trace(from);
    const auto txs = linesStartingWith(lines, {"0 SET 3 50", "0 SET 3 06", "0 SET 3 01"});
    ASSERT_EQ(txs.size(), 2u);
    EXPECT_EQ(txs[0], "0 SET 3 50");
    EXPECT_EQ(txs[1], "0 SET 3 01");
  }
  {
    SimRig rig;
    rig.open(R"("flash": "SST25VF512")");
    EXPECT_EQ(rig.device->UnprotectFlash(137), 0);
    EXPECT_EQ(rig.camera().statusRegister(), 0x00);
    EXPECT_EQ(rig.device->ProtectFlash(137), 0);
    EXPECT_EQ(rig.camera().statusRegister(), 0x0C);
    // Already protected: one status read, nothing written.
    const std::size_t from = rig.traceSize();
    EXPECT_EQ(rig.device->ProtectFlash(137), 0);
    EXPECT_TRUE(linesStartingWith(rig.trace(from), {"0 SET 3 06", "0 SET 3 01"}).empty());
  }
  {
    SimRig rig;
    rig.open(chip(0xB1));
    const std::size_t from = rig.traceSize();
    EXPECT_EQ(rig.device->UnprotectFlash(122), STATUS_REFUSED);
    EXPECT_EQ(rig.device->ProtectFlash(122), STATUS_REFUSED);
    EXPECT_EQ(rig.traceSize(), from);
  }
  {
    SimRig rig;
    rig.open();
    const std::size_t from = rig.traceSize();
    EXPECT_EQ(rig.device->UnprotectFlash(7), STATUS_REFUSED);
    EXPECT_EQ(rig.device->ProtectFlash(120), STATUS_REFUSED);
    EXPECT_EQ(rig.traceSize(), from);
  }
}

// The update observer hears each state and percentage the caller's bytes
// receive, in order, on both routes and on failure: it starts at 20/5 and
// ends with the values the call leaves behind.
TEST(Download, ObserverHearsEveryStatusTheCallerReceives) {
  struct Row {
    const char* name;
    std::string members;
    std::uint8_t type;
    std::int32_t result;
  };
  for (const Row& row : std::vector<Row>{
           {"download", "", 122, 0},
           {"download, checksum differs", R"("faults": [{"checksum_xor": 1}])", 122, 1},
           {"sector pairs", "", 6, 0},
           {"family 106 commit", chip(0xB1), 122, 0},
       }) {
    struct Recorder : IUpdateObserver {
      std::vector<std::pair<int, int>> heard;
      void OnUpdateStatus(std::uint8_t state, std::uint8_t progress) override {
        heard.emplace_back(state, progress);
      }
    } recorder;
    SimRig rig;
    rig.open(row.members);
    rig.device->SetUpdateObserver(&recorder);
    const Outcome out = download(rig, row.type, makeImage(), kImageLength, false);
    EXPECT_EQ(out.result, row.result) << row.name;
    ASSERT_GE(recorder.heard.size(), 3u) << row.name;
    EXPECT_EQ(recorder.heard.front(), std::make_pair(int{UPD_START}, int{PROGRESS_START}));
    EXPECT_EQ(recorder.heard.back(), std::make_pair(int{out.state}, int{out.progress})) << row.name;
    int transfers = 0;
    for (std::size_t i = 1; i < recorder.heard.size(); ++i) {
      EXPECT_GE(recorder.heard[i].second, recorder.heard[i - 1].second) << row.name;
      if (recorder.heard[i].first == UPD_TRANSFER) ++transfers;
    }
    EXPECT_GT(transfers, 1) << row.name;
    // Nothing is heard once the observer is taken away.
    rig.device->SetUpdateObserver(nullptr);
    const std::size_t before = recorder.heard.size();
    (void)download(rig, row.type, makeImage(), kImageLength, false);
    EXPECT_EQ(recorder.heard.size(), before) << row.name;
  }
}

}  // namespace
}  // namespace qv::test
