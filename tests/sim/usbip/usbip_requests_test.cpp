// Extension-unit requests over USB/IP: what reaches the model and the
// trace, what the driver asks on its own, stalls and the request error
// code, unlinking, unplugging and frames that are not USB/IP.

#include <gtest/gtest.h>

#include <random>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "usbip_client.h"

namespace qv::sim::usbip::test {
namespace {

std::string cameraScene(const std::string& members = "") {
  return R"({"cameras": [{"device_path": "p")" + (members.empty() ? "" : ", " + members) + "}]}";
}

// What uvcvideo sends the first time a query meets a control.
void introduce(Client& client, std::uint8_t selector) {
  const Reply len = client.xu(kUvcGetLen, selector, 2);
  ASSERT_EQ(len.status(), 0);
  const Reply info = client.xu(kUvcGetInfo, selector, 1);
  ASSERT_EQ(info.status(), 0);
  EXPECT_EQ(info.data, std::vector<std::uint8_t>{0x03});
}

TEST(UsbipRequests, UnitRequestsReachTheModelAndTheTrace) {
  auto server = openServer(cameraScene(R"("read_block_length": 512)"));
  Client client(*server);
  const Reply driverLen = client.xu(kUvcGetLen, 15, 2);
  EXPECT_EQ(driverLen.data, (std::vector<std::uint8_t>{0x00, 0x02}));
  client.xu(kUvcGetInfo, 15, 1);
  const Reply toolLen = client.xu(kUvcGetLen, 15, 2);
  EXPECT_EQ(toolLen.data, (std::vector<std::uint8_t>{0x00, 0x02}));
  introduce(client, 14);
  const Reply set = client.xu(kUvcSetCur, 14, 4, {0x00, 0x10, 0x00, 0x00});
  EXPECT_EQ(set.status(), 0);
  EXPECT_EQ(set.actual(), 4u);
  const Reply get = client.xu(kUvcGetCur, 14, 4);
  EXPECT_EQ(get.status(), 0);
  EXPECT_EQ(get.data, (std::vector<std::uint8_t>{0x00, 0x10, 0x00, 0x00}));
  const Reply block = client.xu(kUvcGetCur, 15, 512);
  EXPECT_EQ(block.data.size(), 512u);  // actual_length is the whole transfer
  EXPECT_EQ(block.data[0], 0xFF);

  EXPECT_EQ(server->model(0).flashAddress(), 0x1000u + 512);
  EXPECT_EQ(server->model(0).requestCount(), 4u);  // the driver's two lines count nothing
  const std::vector<std::string> expected = {
      "# 0 LEN 15 512", "# 0 INFO 15 03",       "0 LEN 15 512",           "# 0 LEN 14 4",
      "# 0 INFO 14 03", "0 SET 14 00 10 00 00", "0 GET 14 4 00 10 00 00",
  };
  const auto& lines = server->trace().lines();
  ASSERT_EQ(lines.size(), expected.size() + 1);
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
  EXPECT_EQ(lines.back().rfind("0 GET 15 512 FF FF", 0), 0u);
}

// A refusal stalls; the error code the driver reads next tells why; the
// driver's own requests leave the model's numbering (faults[].request)
// as the tool's requests alone make it.
struct FailureRow {
  const char* what;
  const char* members;
  std::uint8_t request;
  std::uint8_t selector;
  std::uint8_t code;
  const char* traced;  // the model's line
};
const FailureRow kFailureRows[] = {
    {"unknown selector on family 104", R"("chip_id": 138)", kUvcSetCur, 22, 0x06,
     "0 SET 22 !80070490"},
    {"injected ERROR_GEN_FAILURE", R"("faults": [{"request": 1, "result": "0x8007001F"}])",
     kUvcGetCur, 3, 0xFF, "0 GET 3 1 !8007001F"},
    {"injected ERROR_BUSY", R"("faults": [{"request": 1, "result": "0x800700AA"}])", kUvcSetCur, 3,
     0x01, "0 SET 3 !800700AA"},
    {"injected E_INVALIDARG", R"("faults": [{"request": 1, "result": "0x80070057"}])", kUvcGetLen,
     3, 0x08, "0 LEN 3 !80070057"},
    {"injected E_ACCESSDENIED", R"("faults": [{"request": 1, "result": "0x80070005"}])", kUvcGetCur,
     3, 0x02, "0 GET 3 1 !80070005"},
};

// `usb.short_reply`: the tool's second request, a GET, sends half its bytes;
// the GET before and after it are whole.
TEST(UsbipRequests, ShortReplySendsHalfOfTheNthGet) {
  auto server = openServer(cameraScene(R"("usb": {"short_reply": 2})"));
  Client client(*server);
  introduce(client, 14);
  EXPECT_EQ(client.xu(kUvcGetCur, 14, 4).data.size(), 4u);
  const Reply shortGet = client.xu(kUvcGetCur, 14, 4);
  EXPECT_EQ(shortGet.status(), 0);
  EXPECT_EQ(shortGet.data.size(), 2u);
  EXPECT_EQ(client.xu(kUvcGetCur, 14, 4).data.size(), 4u);
  EXPECT_EQ(server->model(0).requestCount(), 3u);
}

TEST(UsbipRequests, RefusalStallsAndTheErrorCodeTellsWhy) {
  for (const FailureRow& row : kFailureRows) {
    SCOPED_TRACE(row.what);
    auto server = openServer(cameraScene(row.members));
    Client client(*server);
    introduce(client, row.selector);
    const std::uint16_t length = row.request == kUvcGetLen ? 2 : 1;
    const std::vector<std::uint8_t> out(row.request == kUvcSetCur ? 1 : 0, 0x01);
    const Reply r = client.xu(row.request, row.selector, length, out);
    EXPECT_EQ(r.status(), kStatusStall);
    EXPECT_EQ(r.actual(), 0u);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(client.errorCode(), row.code);
    EXPECT_EQ(client.errorCode(), row.code);  // reading it leaves it
    const auto& lines = server->trace().lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], row.traced);
    char code[32];
    std::snprintf(code, sizeof code, "# 0 ERROR %02X", row.code);
    EXPECT_EQ(lines[3], code);
    // The next request succeeds and clears the code.
    const Reply ok = client.xu(kUvcGetCur, 2, 2);
    EXPECT_EQ(ok.status(), 0);
    EXPECT_EQ(client.errorCode(), 0x00);
  }
}

TEST(UsbipRequests, CameraRefusalsOfItsOwn) {
  struct Row {
    const char* what;
    std::uint8_t type, request;
    std::uint16_t value, index;
    std::uint8_t code;
    const char* traced;  // nullptr: no trace line
  };
  const Row rows[] = {
      {"GET_MIN on the unit", 0xA1, kUvcGetMin, 0x0F00, 0x0200, 0x07, "# 0 MIN 15 !07"},
      {"GET_INFO undeclared", 0xA1, kUvcGetInfo, 0x0500, 0x0200, 0x06, "# 0 INFO 5 !06"},
      {"SET_CUR sent as IN", 0xA1, kUvcSetCur, 0x0300, 0x0200, 0x07, "# 0 REQ 01 3 !07"},
      {"input terminal", 0xA1, kUvcGetCur, 0x0100, 0x0100, 0x06, nullptr},
      {"no such entity", 0xA1, kUvcGetCur, 0x0100, 0x0900, 0x05, nullptr},
      {"power mode control", 0xA1, kUvcGetCur, 0x0100, 0x0000, 0x06, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // The unit as uvcvideo takes it: only the selectors the chip answers.
    auto server = openServer(cameraScene(R"("usb": {"controls": "answered"})"));
    Client client(*server);
    const Reply r = client.control(row.type, row.request, row.value, row.index, 1);
    EXPECT_EQ(r.status(), kStatusStall);
    EXPECT_EQ(client.errorCode(), row.code);
    EXPECT_EQ(server->model(0).requestCount(), 0u);
    const auto& lines = server->trace().lines();
    ASSERT_EQ(lines.size(), row.traced ? 2u : 1u);
    if (row.traced) {
      EXPECT_EQ(lines[0], row.traced);
    }
  }
}

TEST(UsbipRequests, RangeOfEveryControlAsWindowsAsksIt) {
  // Windows' in-box driver asks every control's info, length and range
  // when it starts; the answers are the camera's own (no model request).
  auto server = openServer(cameraScene(R"("read_block_length": 512)"));
  Client client(*server);
  struct Row {
    std::uint8_t request;
    std::uint8_t selector;
    std::uint16_t length;
    std::vector<std::uint8_t> expected;
  };
  const Row rows[] = {
      {kUvcGetMin, 2, 2, {0x00, 0x00}}, {kUvcGetMax, 2, 2, {0xFF, 0xFF}},
      {kUvcGetRes, 2, 2, {0x01, 0x00}}, {kUvcGetDef, 2, 2, {0x00, 0x00}},
      {kUvcGetMax, 3, 1, {0xFF}},       {kUvcGetMin, 5, 1, {0x00}},  // a gap the chip refuses
  };
  for (const Row& row : rows) {
    const Reply r = client.xu(row.request, row.selector, row.length);
    EXPECT_EQ(r.status(), 0) << int(row.request) << " " << int(row.selector);
    EXPECT_EQ(r.data, row.expected) << int(row.request) << " " << int(row.selector);
  }
  EXPECT_EQ(client.xu(kUvcGetMax, 15, 512).data.size(), 512u);
  // A length other than the control's, or a selector beyond the last, is refused.
  EXPECT_EQ(client.xu(kUvcGetMin, 2, 4).status(), kStatusStall);
  EXPECT_EQ(client.errorCode(), 0x08);
  EXPECT_EQ(client.xu(kUvcGetMin, 24, 1).status(), kStatusStall);
  EXPECT_EQ(client.errorCode(), 0x06);
  EXPECT_EQ(server->model(0).requestCount(), 0u);
  EXPECT_EQ(server->trace().lines().front(), "# 0 MIN 2 2");
  // A selector in the gaps is declared, and refused by the chip when asked.
  introduce(client, 5);
  EXPECT_EQ(client.xu(kUvcGetCur, 5, 1).status(), kStatusStall);
  EXPECT_EQ(client.errorCode(), 0x06);
}

TEST(UsbipRequests, FaultNumbersCountOnlyTheToolsRequests) {
  auto server =
      openServer(cameraScene(R"("faults": [{"request": 3, "result": "0x8007001F", "count": 1}])"));
  Client client(*server);
  introduce(client, 2);
  EXPECT_EQ(client.xu(kUvcSetCur, 2, 2, {0x20, 0x20}).status(), 0);  // request 1
  introduce(client, 3);
  EXPECT_EQ(client.xu(kUvcGetLen, 3, 2).status(), 0);             // request 2
  EXPECT_EQ(client.xu(kUvcGetCur, 3, 1).status(), kStatusStall);  // request 3
  EXPECT_EQ(client.xu(kUvcGetCur, 3, 1).status(), 0);             // request 4
  EXPECT_EQ(server->model(0).requestCount(), 4u);
}

// ERROR_TIMEOUT is a request never answered: the host unlinks it after its
// timeout and gets RET_UNLINK with ECONNRESET, never a RET_SUBMIT.
TEST(UsbipRequests, UnansweredRequestAndBulkTransferAreUnlinked) {
  auto server = openServer(cameraScene(R"("faults": [{"request": 1, "result": "0x800705B4"}])"));
  Client client(*server);
  introduce(client, 3);
  const std::uint32_t control = client.nextSeqnum();
  client.send(submitFrame(control, client.devid(), kDirIn, 0, 1,
                          setupBytes(0xA1, kUvcGetCur, 0x0300, 0x0200, 1)));
  const std::uint32_t bulk = client.nextSeqnum();
  client.send(submitFrame(bulk, client.devid(), kDirIn, 1, 38400, {}));
  EXPECT_TRUE(client.quiet());  // neither is answered
  struct Row {
    std::uint32_t target;
    std::int32_t status;
  };
  const Row rows[] = {{control, kStatusUnlinked}, {bulk, kStatusUnlinked}, {control, 0}, {999, 0}};
  for (const Row& row : rows) {
    const std::uint32_t seqnum = client.nextSeqnum();
    client.send(unlinkFrame(seqnum, client.devid(), row.target));
    const auto reply = client.receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->header.command, kRetUnlink);
    EXPECT_EQ(reply->header.seqnum, seqnum);
    EXPECT_EQ(static_cast<std::int32_t>(reply->header.field[0]), row.status) << row.target;
  }
  EXPECT_EQ(server->trace().lines().back(), "0 GET 3 1 !800705B4");
  // The camera still answers afterwards.
  EXPECT_EQ(client.xu(kUvcGetCur, 3, 1).status(), 0);
}

TEST(UsbipRequests, UnplugAfterClosesTheConnectionAfterTheNthRequest) {
  auto server = openServer(cameraScene(R"("faults": [{"unplug_after": 2}])"));
  Client client(*server);
  introduce(client, 7);
  EXPECT_EQ(client.xu(kUvcSetCur, 7, 1, {0x01}).status(), 0);
  // The second request and one sent behind it in the same burst.
  client.send(submitFrame(client.nextSeqnum(), client.devid(), kDirIn, 0, 1,
                          setupBytes(0xA1, kUvcGetCur, 0x0700, 0x0200, 1)));
  client.send(submitFrame(client.nextSeqnum(), client.devid(), kDirIn, 0, 1,
                          setupBytes(0xA1, kUvcGetCur, 0x0700, 0x0200, 1)));
  const auto last = client.receive();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->status(), 0);
  EXPECT_EQ(last->data, std::vector<std::uint8_t>{0x01});
  EXPECT_TRUE(client.closedByServer());
  EXPECT_FALSE(server->served(0));
  EXPECT_EQ(server->model(0).requestCount(), 2u);
}

// The chip reset of a camera that re-enumerates: the reset write is
// answered, then the connection closes; with `true` the camera is attached
// again about a second later on the port it had, with "never" it stays off.
TEST(UsbipRequests, ChipResetDropsTheCameraAndAttachesItAgain) {
  struct Row {
    const char* reenumerates;
    std::size_t attaches;
  };
  for (const Row& row : {Row{"true", 2}, Row{R"("never")", 1}}) {
    SCOPED_TRACE(row.reenumerates);
    const std::string attachFile = ::testing::TempDir() + "qv_usbip_reenumerates_attach";
    std::remove(attachFile.c_str());
    auto server = openServer(
        cameraScene(R"("chip_id": 176, "reenumerates": )" + std::string(row.reenumerates)));
    Attachment placed;
    std::string error;
    ASSERT_TRUE(server->attach(0, attachFile, 4, placed, error)) << error;
    Client client(*server);  // the host's end of that camera
    introduce(client, 2);
    introduce(client, 3);
    EXPECT_EQ(client.xu(kUvcSetCur, 2, 2, {0x34, 0x20}).status(), 0);
    EXPECT_EQ(client.xu(kUvcSetCur, 3, 1, {0x01}).status(), 0);
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(server->returning(0), row.attaches == 2);
    for (int i = 0; i < 50 && server->returning(0); ++i) server->pollOnce(100);
    EXPECT_FALSE(server->returning(0));
    std::ifstream attach(attachFile);
    std::vector<std::string> lines;
    for (std::string line; std::getline(attach, line);) {
      unsigned port = 0, fd = 0, devid = 0, speed = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "%u %u %u %u", &port, &fd, &devid, &speed), 4) << line;
      lines.push_back(std::to_string(port) + ":" + std::to_string(devid) + "@" +
                      std::to_string(speed));
    }
    EXPECT_EQ(lines, std::vector<std::string>(row.attaches, "4:65538@3"));
    EXPECT_EQ(server->model(0).resetCount(), 1u);
  }
}

// A frame that is not USB/IP ends that connection, with nothing answered
// and nothing read past the frame.
TEST(UsbipRequests, MalformedFramesEndTheConnection) {
  const std::uint32_t devid = devidOf(0);
  const auto getCur = setupBytes(0xA1, kUvcGetCur, 0x0300, 0x0200, 1);
  auto withField = [&](std::size_t offset, std::uint32_t value) {
    auto frame = submitFrame(1, devid, kDirIn, 0, 1, getCur);
    for (int i = 0; i < 4; ++i)
      frame[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return frame;
  };
  struct Row {
    const char* what;
    std::vector<std::uint8_t> frame;
    bool shutdownAfter;  // the peer closes its sending side after the bytes
  };
  const std::vector<Row> rows = {
      {"short header, then the peer closes", std::vector<std::uint8_t>(20, 0), true},
      {"unknown command", withField(0, 7), false},
      {"a reply sent as a request", withField(0, kRetSubmit), false},
      {"another devid", withField(8, devid + 1), false},
      {"direction 2", withField(12, 2), false},
      {"endpoint 16", withField(16, 16), false},
      {"negative transfer length", withField(24, 0xFFFFFFF0u), false},
      {"control transfer over 65535 bytes", withField(24, 70000), false},
      {"isochronous packets", withField(32, 3), false},
      {"OUT data cut short",
       submitFrame(1, devid, kDirOut, 0, 100, setupBytes(0x21, kUvcSetCur, 0x0300, 0x0200, 100),
                   std::vector<std::uint8_t>(10, 0)),
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto server = openServer(cameraScene());
    Client client(*server);
    client.send(row.frame);
    if (row.shutdownAfter) client.shutdownSending();
    EXPECT_TRUE(client.closedByServer());
    EXPECT_FALSE(server->served(0));
    EXPECT_EQ(server->model(0).requestCount(), 0u);
    EXPECT_FALSE(server->pollOnce(0));
  }
}

// Frames arrive in pieces and several in one piece.
TEST(UsbipRequests, FramesSplitAndJoinedAcrossReads) {
  auto server = openServer(cameraScene());
  Client client(*server);
  introduce(client, 2);
  std::vector<std::uint8_t> burst;
  for (std::uint32_t i = 0; i < 3; ++i) {
    auto f = submitFrame(100 + i, client.devid(), kDirOut, 0, 2,
                         setupBytes(0x21, kUvcSetCur, 0x0200, 0x0200, 2),
                         {static_cast<std::uint8_t>(i), 0x20});
    burst.insert(burst.end(), f.begin(), f.end());
  }
  for (std::size_t at = 0; at < burst.size(); at += 7) {
    client.send(std::vector<std::uint8_t>(burst.begin() + at,
                                          burst.begin() + std::min(burst.size(), at + 7)));
    server->pollOnce(0);
  }
  for (std::uint32_t i = 0; i < 3; ++i) {
    const auto reply = client.receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->header.seqnum, 100 + i);
    EXPECT_EQ(reply->status(), 0);
    EXPECT_EQ(reply->actual(), 2u);
  }
  EXPECT_EQ(server->trace().lines().back(), "0 SET 2 02 20");
}

// Frames with the right command and devid but arbitrary fields, in pieces
// of arbitrary size: every reply that comes out is a whole RET_SUBMIT or
// RET_UNLINK, and the link either keeps going or ends, never reading past
// what it was given (the suite also runs under valgrind).
TEST(UsbipRequests, ArbitraryFieldsNeverBreakTheFraming) {
  auto server = openServer(cameraScene(R"("chip_id": 176)"));
  std::mt19937 random(7);
  std::size_t replies = 0;
  for (int round = 0; round < 200; ++round) {
    UsbipLink link(server->usbCamera(0), devidOf(0));
    std::vector<std::uint8_t> input;
    for (int f = 0; f < 8; ++f) {
      UsbipHeader h;
      h.command = random() % 4 == 0 ? kCmdUnlink : kCmdSubmit;
      h.seqnum = random();
      h.devid = devidOf(0);
      h.direction = random() % 2;
      h.ep = random() % 8 == 0 ? random() % 3 : 0;
      // Mostly plausible values, now and then anything.
      const bool wild = random() % 16 == 0;
      h.field[1] = wild ? random() : random() % 300;
      h.field[3] = random() % 16 == 0 ? random() : 0;
      const std::uint8_t types[] = {0x21, 0xA1, 0x80,
                                    0x00, 0x01, static_cast<std::uint8_t>(random())};
      const std::uint8_t requests[] = {kUvcSetCur, kUvcGetCur, kUvcGetLen, kUvcGetInfo, 0x06};
      const std::uint8_t setup[8] = {types[random() % 6],
                                     requests[random() % 5],
                                     0,
                                     static_cast<std::uint8_t>(random() % 24),
                                     static_cast<std::uint8_t>(random() % 8 == 0),
                                     static_cast<std::uint8_t>(random() % 4 == 0 ? 1 : 2),
                                     static_cast<std::uint8_t>(random()),
                                     static_cast<std::uint8_t>(random() % 2)};
      std::memcpy(h.setup, setup, 8);
      if (!wild) h.direction = (setup[0] & 0x80) != 0 ? kDirIn : kDirOut;
      std::vector<std::uint8_t> frame(kHeaderSize);
      h.encode(frame.data());
      if (h.direction == kDirOut && h.command == kCmdSubmit && h.field[1] < 300) {
        frame.resize(frame.size() + h.field[1], 0x5A);
      }
      if (random() % 16 == 0) frame.resize(frame.size() + random() % 64, 0xA5);
      input.insert(input.end(), frame.begin(), frame.end());
    }
    std::vector<std::uint8_t> output;
    std::size_t at = 0;
    while (at < input.size() && link.state() == UsbipLink::State::Open) {
      const auto space = link.receiveSpace();
      const std::size_t n =
          std::min({space.size(), input.size() - at, static_cast<std::size_t>(1 + random() % 100)});
      std::memcpy(space.data(), input.data() + at, n);
      at += n;
      link.received(n);
      const auto out = link.output();
      output.insert(output.end(), out.begin(), out.end());
      link.sent(out.size());
    }
    std::size_t pos = 0;
    while (pos < output.size()) {
      ASSERT_GE(output.size() - pos, kHeaderSize);
      const UsbipHeader r = UsbipHeader::decode(output.data() + pos);
      ASSERT_TRUE(r.command == kRetSubmit || r.command == kRetUnlink) << r.command;
      pos += kHeaderSize;
      if (r.command == kRetSubmit && r.direction == kDirIn) pos += r.field[1];
    }
    EXPECT_EQ(pos, output.size());
    replies += output.size();
  }
  // The sweep reached the camera, not only the framing.
  EXPECT_GT(replies, 100 * kHeaderSize);
  EXPECT_GT(server->model(0).requestCount(), 10u);
}

}  // namespace
}  // namespace qv::sim::usbip::test
