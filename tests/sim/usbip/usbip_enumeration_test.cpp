// Enumeration: the descriptors a host reads parse back into the video
// function uvcvideo needs (chain input terminal -> unit -> output terminal,
// the unit's GUID and controls, one streaming format), and the standard and
// streaming requests of its probe answer.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "usbip_client.h"

namespace qv::sim::usbip::test {
namespace {

constexpr std::uint8_t kIn = 0x80;

struct Entity {
  std::uint8_t subtype = 0;
  std::vector<std::uint8_t> sources;
  std::vector<std::uint8_t> raw;
};

// The configuration descriptor as a host walks it.
struct Walk {
  bool ok = true;
  std::size_t total = 0;
  int interfaces = 0;
  int iads = 0;
  std::size_t vcTotalDeclared = 0;
  std::size_t vcTotalCounted = 0;
  std::map<std::uint8_t, Entity> entities;  // VideoControl entities by ID
  std::uint8_t terminalLink = 0;
  std::uint8_t headerEndpoint = 0;
  std::vector<std::uint8_t> format;
  std::vector<std::uint8_t> frame;
  std::vector<std::vector<std::uint8_t>> endpoints;
};

Walk walkConfiguration(const std::vector<std::uint8_t>& c) {
  Walk w;
  int interface = -1;
  std::size_t at = 0;
  while (at < c.size()) {
    const std::size_t len = c[at];
    if (len < 2 || at + len > c.size()) {
      w.ok = false;
      return w;
    }
    const std::vector<std::uint8_t> d(c.begin() + at, c.begin() + at + len);
    const std::uint8_t type = d[1];
    if (type == 0x02) w.total = d[2] | (d[3] << 8);
    if (type == 0x0B) ++w.iads;
    if (type == 0x04) {
      ++w.interfaces;
      interface = d[2];
    }
    if (type == 0x05) w.endpoints.push_back(d);
    if (type == 0x24 && interface == 0) {
      w.vcTotalCounted += len;
      Entity e{d[2], {}, d};
      switch (d[2]) {
        case 0x01:
          w.vcTotalDeclared = d[5] | (d[6] << 8);
          break;
        case 0x02:  // input terminal
          w.entities[d[3]] = e;
          break;
        case 0x03:  // output terminal: bSourceID
          e.sources = {d[7]};
          w.entities[d[3]] = e;
          break;
        case 0x06:  // extension unit: baSourceID[bNrInPins]
          e.sources.assign(d.begin() + 22, d.begin() + 22 + d[21]);
          w.entities[d[3]] = e;
          break;
        default:
          break;
      }
    }
    if (type == 0x24 && interface == 1) {
      if (d[2] == 0x01) {
        w.headerEndpoint = d[6];
        w.terminalLink = d[8];
      }
      if (d[2] == 0x04) w.format = d;
      if (d[2] == 0x05) w.frame = d;
    }
    at += len;
  }
  return w;
}

struct IdentityRow {
  const char* members;
  std::uint16_t vendor, product, revision;
  bool secondary;
};
constexpr IdentityRow kIdentityRows[] = {
    {"", 0x04F2, 0xB5BD, 0x0100, false},
    {R"("usb": {"vendor": 1133, "product": 2085, "revision": 16}, "xu_guid": "secondary")", 1133,
     2085, 16, true},
    {R"("usb": {"product": 1}, "xu_guid": "primary")", 0x04F2, 1, 0x0100, false},
};

TEST(UsbipEnumeration, DescriptorsParseBackIntoTheVideoChain) {
  for (const IdentityRow& row : kIdentityRows) {
    SCOPED_TRACE(row.members);
    std::string members = row.members;
    auto server = openServer(R"({"cameras": [{"device_path": "p")" +
                             (members.empty() ? "" : ", " + members) + "}]}");
    Client client(*server);

    // Device descriptor: 64 asked, 18 given, as the first read of a host.
    Reply dev = client.control(kIn, 0x06, 0x0100, 0, 64);
    ASSERT_EQ(dev.status(), 0);
    ASSERT_EQ(dev.data.size(), 18u);
    EXPECT_EQ(dev.data[1], 0x01);
    EXPECT_EQ(dev.data[4], 0xEF);  // interface association class triple
    EXPECT_EQ(dev.data[7], 64);
    EXPECT_EQ(dev.data[8] | (dev.data[9] << 8), row.vendor);
    EXPECT_EQ(dev.data[10] | (dev.data[11] << 8), row.product);
    EXPECT_EQ(dev.data[12] | (dev.data[13] << 8), row.revision);
    EXPECT_EQ(dev.data[17], 1);

    // Configuration: 9 bytes first, then the whole of it.
    Reply head = client.control(kIn, 0x06, 0x0200, 0, 9);
    ASSERT_EQ(head.data.size(), 9u);
    const std::uint16_t total = static_cast<std::uint16_t>(head.data[2] | (head.data[3] << 8));
    Reply config = client.control(kIn, 0x06, 0x0200, 0, total);
    ASSERT_EQ(config.data.size(), total);
    const Walk w = walkConfiguration(config.data);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.total, config.data.size());
    EXPECT_EQ(w.iads, 1);
    EXPECT_EQ(w.interfaces, 2);
    EXPECT_EQ(w.vcTotalDeclared, w.vcTotalCounted);

    // The chain: streaming header -> output terminal -> unit -> camera input.
    ASSERT_EQ(w.entities.count(w.terminalLink), 1u);
    const Entity& ot = w.entities.at(w.terminalLink);
    EXPECT_EQ(ot.subtype, 0x03);
    ASSERT_EQ(ot.sources.size(), 1u);
    ASSERT_EQ(w.entities.count(ot.sources[0]), 1u);
    const Entity& xu = w.entities.at(ot.sources[0]);
    EXPECT_EQ(xu.subtype, 0x06);
    EXPECT_EQ(ot.sources[0], kExtensionUnitId);
    ASSERT_EQ(xu.sources.size(), 1u);
    ASSERT_EQ(w.entities.count(xu.sources[0]), 1u);
    const Entity& it = w.entities.at(xu.sources[0]);
    EXPECT_EQ(it.subtype, 0x02);
    EXPECT_EQ(it.raw[4] | (it.raw[5] << 8), 0x0201);  // camera sensor

    // The unit's GUID in UVC byte order: the first three fields little-endian.
    const std::vector<std::uint8_t> guid(xu.raw.begin() + 4, xu.raw.begin() + 20);
    const std::vector<std::uint8_t> expected =
        row.secondary ? std::vector<std::uint8_t>{0x99, 0x1D, 0x5A, 0x7D, 0x32, 0x5B, 0x8B, 0x42,
                                                  0x8C, 0xAD, 0x67, 0x1B, 0x8A, 0x65, 0xF3, 0x7A}
                      : std::vector<std::uint8_t>{0x82, 0x06, 0x61, 0x63, 0x70, 0x50, 0xAB, 0x49,
                                                  0xB8, 0xCC, 0xB3, 0x85, 0x5E, 0x8D, 0x22, 0x1D};
    EXPECT_EQ(guid, expected);
    EXPECT_EQ(xu.raw[0], 24 + xu.raw[21] + xu.raw[22 + xu.raw[21]]);

    // Streaming: one bulk IN endpoint named by the header, YUY2 160 x 120.
    ASSERT_EQ(w.endpoints.size(), 1u);
    EXPECT_EQ(w.endpoints[0][2], 0x81);
    EXPECT_EQ(w.endpoints[0][3], 0x02);
    EXPECT_EQ(w.headerEndpoint, 0x81);
    ASSERT_EQ(w.format.size(), 27u);
    EXPECT_EQ(std::string(w.format.begin() + 5, w.format.begin() + 9), "YUY2");
    ASSERT_EQ(w.frame.size(), 30u);
    EXPECT_EQ(w.frame[5] | (w.frame[6] << 8), 160);
    EXPECT_EQ(w.frame[7] | (w.frame[8] << 8), 120);

    // Strings: the language list and the serial with the camera's index.
    Reply lang = client.control(kIn, 0x06, 0x0300, 0, 255);
    EXPECT_EQ(lang.data, (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    Reply serial = client.control(kIn, 0x06, 0x0300 | dev.data[16], 0x0409, 255);
    ASSERT_EQ(serial.data.size(), 2u + 2 * 6);
    EXPECT_EQ(serial.data[2 * 6], '0');
  }
}

// By default the unit declares every selector from 1 up to the last one
// the chip answers on some family, without gaps, as Windows' in-box driver
// wants; with "usb": {"controls": "answered"} every selector the chip
// answers on some family has its bmControls bit (selector n is bit n - 1),
// and no other: uvcvideo makes a control only for a set bit.
TEST(UsbipEnumeration, UnitDeclaresEverySelectorTheChipAnswers) {
  auto probe = openServer(R"({"cameras": [{"device_path": "a", "chip_id": 138},
      {"device_path": "b", "chip_id": 176}, {"device_path": "c", "chip_id": 192},
      {"device_path": "d", "chip_id": 208}, {"device_path": "e", "chip_id": 160}]})");
  std::set<std::uint32_t> answered;  // on some family
  for (std::uint32_t selector = 1; selector < 256; ++selector) {
    for (std::size_t c = 0; c < probe->cameraCount(); ++c) {
      std::uint32_t reported = 0;
      if (probe->model(c).request(XuRequest::Len, selector, nullptr, 0, reported) == hr::Ok) {
        answered.insert(selector);
      }
    }
  }
  ASSERT_FALSE(answered.empty());
  const std::uint32_t last = *answered.rbegin();
  for (const bool contiguous : {true, false}) {
    SCOPED_TRACE(contiguous ? "contiguous" : "answered");
    auto server = openServer(contiguous ? R"({"cameras": [{"device_path": "p"}]})"
                                        : R"({"cameras": [{"device_path": "p",
                                               "usb": {"controls": "answered"}}]})");
    Client client(*server);
    const Reply head = client.control(kIn, 0x06, 0x0200, 0, 9);
    const Reply config = client.control(kIn, 0x06, 0x0200, 0, head.data[2] | (head.data[3] << 8));
    const Walk w = walkConfiguration(config.data);
    ASSERT_EQ(w.entities.count(kExtensionUnitId), 1u);
    const std::vector<std::uint8_t>& xu = w.entities.at(kExtensionUnitId).raw;
    const std::size_t controlSize = xu[22 + xu[21]];
    const std::uint8_t* bm = xu.data() + 23 + xu[21];
    int declared = 0;
    for (std::uint32_t selector = 1; selector <= 8 * controlSize; ++selector) {
      const bool bit = (bm[(selector - 1) / 8] >> ((selector - 1) % 8) & 1) != 0;
      EXPECT_EQ(bit, contiguous ? selector <= last : answered.count(selector) != 0)
          << "selector " << selector;
      declared += bit ? 1 : 0;
    }
    EXPECT_EQ(xu[20], declared);  // bNumControls
  }
}

// The standard requests of enumeration and the streaming probe uvcvideo
// makes at bind time.
struct RequestRow {
  const char* what;
  std::uint8_t type, request;
  std::uint16_t value, index, length;
  std::int32_t status;
  std::vector<std::uint8_t> reply;  // IN data expected (empty: not checked)
  std::size_t replyLength;
};

// A super-speed camera with a vendor-specific configuration first: the
// device descriptor of a USB 3 device with two configurations, the vendor
// one at index 0 (value 1), the video function at index 1 (value 2) with a
// 1024-byte bulk endpoint and its companion; SET_CONFIGURATION takes 2.
TEST(UsbipEnumeration, SuperSpeedAndAVendorConfigurationFirst) {
  auto server = openServer(
      R"({"cameras": [{"device_path": "p", "usb": {"speed": "super", "configurations": 2}}]})");
  Client client(*server);
  const Reply dev = client.control(kIn, 0x06, 0x0100, 0, 18);
  ASSERT_EQ(dev.data.size(), 18u);
  EXPECT_EQ(dev.data[2] | (dev.data[3] << 8), 0x0300);
  EXPECT_EQ(dev.data[7], 9);  // 2^9 = 512 bytes
  EXPECT_EQ(dev.data[17], 2);

  const Reply vendor = client.control(kIn, 0x06, 0x0200, 0, 255);
  ASSERT_EQ(vendor.data.size(), 18u);
  EXPECT_EQ(vendor.data[5], 1);
  EXPECT_EQ(vendor.data[9 + 5], 0xFF);  // the interface is vendor-specific

  const Reply function = client.control(kIn, 0x06, 0x0201, 0, 0xFFFF);
  ASSERT_GT(function.data.size(), 9u);
  EXPECT_EQ(function.data[5], 2);
  const Walk w = walkConfiguration(function.data);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.total, function.data.size());
  EXPECT_EQ(w.interfaces, 2);
  ASSERT_EQ(w.endpoints.size(), 1u);
  EXPECT_EQ(w.endpoints[0][4] | (w.endpoints[0][5] << 8), 1024);
  // The companion follows the endpoint at the end of the configuration.
  const std::size_t n = function.data.size();
  EXPECT_EQ(function.data[n - 6], 6);
  EXPECT_EQ(function.data[n - 5], 0x30);

  EXPECT_EQ(client.control(kIn, 0x06, 0x0202, 0, 9).status(), -32);
  EXPECT_EQ(client.control(0x00, 0x09, 2, 0, 0).status(), 0);
  EXPECT_EQ(client.control(kIn, 0x08, 0, 0, 1).data, (std::vector<std::uint8_t>{2}));
  EXPECT_EQ(client.control(0x00, 0x09, 3, 0, 0).status(), -32);
}

// A camera with an infrared function: a second interface association
// (interfaces 2 and 3, bulk endpoint 0x82) whose unit reaches the same chip;
// the driver of each function introduces a control on its own.
TEST(UsbipEnumeration, InfraredFunctionIsASecondChainToTheSameChip) {
  auto server = openServer(R"({"cameras": [{"device_path": "p", "infrared_path": "q"}]})");
  Client client(*server);
  const Reply config = client.control(kIn, 0x06, 0x0200, 0, 0xFFFF);
  const Walk w = walkConfiguration(config.data);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.total, config.data.size());
  EXPECT_EQ(config.data[4], 4);
  EXPECT_EQ(w.iads, 2);
  ASSERT_EQ(w.endpoints.size(), 2u);
  EXPECT_EQ(w.endpoints[1][2], 0x82);
  EXPECT_EQ(client.control(0x01, 0x0B, 0, 3, 0).status(), 0);
  EXPECT_EQ(client.control(0x01, 0x0B, 0, 4, 0).status(), -32);
  for (std::uint16_t vc : {0, 2}) {
    client.control(0xA1, kUvcGetLen, 15 << 8, 0x0200 | vc, 2);
    client.control(0xA1, kUvcGetInfo, 15 << 8, 0x0200 | vc, 1);
    client.control(0xA1, kUvcGetLen, 15 << 8, 0x0200 | vc, 2);
  }
  EXPECT_EQ(client.control(0xA1, 0x85, 0x0100, 3, 2).data, (std::vector<std::uint8_t>{26, 0}));
  const std::vector<std::string> expected = {"# 0 LEN 15 4096", "# 0 INFO 15 03", "0 LEN 15 4096",
                                             "# 0 LEN 15 4096", "# 0 INFO 15 03", "0 LEN 15 4096"};
  EXPECT_EQ(server->trace().lines(), expected);
  EXPECT_EQ(server->model(0).requestCount(), 2u);
}

TEST(UsbipEnumeration, StandardAndProbeRequests) {
  const std::vector<RequestRow> rows = {
      {"SET_CONFIGURATION 1", 0x00, 0x09, 1, 0, 0, 0, {}, 0},
      {"GET_CONFIGURATION", 0x80, 0x08, 0, 0, 1, 0, {1}, 1},
      {"SET_CONFIGURATION 2", 0x00, 0x09, 2, 0, 0, -32, {}, 0},
      {"SET_INTERFACE 1 alt 0", 0x01, 0x0B, 0, 1, 0, 0, {}, 0},
      {"SET_INTERFACE 1 alt 1", 0x01, 0x0B, 1, 1, 0, -32, {}, 0},
      {"GET_INTERFACE 1", 0x81, 0x0A, 0, 1, 1, 0, {0}, 1},
      {"GET_STATUS device", 0x80, 0x00, 0, 0, 2, 0, {0, 0}, 2},
      {"GET_DESCRIPTOR qualifier", 0x80, 0x06, 0x0600, 0, 10, 0, {}, 10},
      {"GET_DESCRIPTOR BOS", 0x80, 0x06, 0x0F00, 0, 5, -32, {}, 0},
      {"GET_DESCRIPTOR string 9", 0x80, 0x06, 0x0309, 0x0409, 255, -32, {}, 0},
      {"GET_LEN probe", 0xA1, 0x85, 0x0100, 1, 2, 0, {26, 0}, 2},
      {"GET_INFO probe", 0xA1, 0x86, 0x0100, 1, 1, 0, {3}, 1},
      {"GET_DEF probe", 0xA1, 0x87, 0x0100, 1, 26, 0, {}, 26},
      {"SET_CUR probe", 0x21, 0x01, 0x0100, 1, 26, 0, {}, 0},
      {"GET_CUR probe", 0xA1, 0x81, 0x0100, 1, 26, 0, {}, 26},
      {"SET_CUR commit", 0x21, 0x01, 0x0200, 1, 26, 0, {}, 0},
      {"GET_CUR selector 3", 0xA1, 0x81, 0x0300, 1, 26, -32, {}, 0},
      {"vendor request", 0xC0, 0x01, 0, 0, 4, -32, {}, 0},
      {"class request to interface 2", 0xA1, 0x81, 0x0100, 2, 26, -32, {}, 0},
  };
  auto server = openServer(R"({"cameras": [{"device_path": "p"}]})");
  Client client(*server);
  for (const RequestRow& row : rows) {
    SCOPED_TRACE(row.what);
    const std::vector<std::uint8_t> out((row.type & 0x80) ? 0 : row.length, 0);
    const Reply r = client.control(row.type, row.request, row.value, row.index, row.length, out);
    EXPECT_EQ(r.status(), row.status);
    if (row.type & 0x80) {
      EXPECT_EQ(r.data.size(), row.replyLength);
      if (!row.reply.empty()) {
        EXPECT_EQ(r.data, row.reply);
      }
    } else {
      EXPECT_EQ(r.actual(), row.status == 0 ? row.length : 0u);
    }
    if (row.request == 0x81 && row.status == 0 && row.length == 26) {
      // The probe settles on format 1, frame 1 at 30 frames/s, 38400-byte frames.
      EXPECT_EQ(r.data[2], 1);
      EXPECT_EQ(r.data[3], 1);
      EXPECT_EQ(r.data[4] | (r.data[5] << 8) | (r.data[6] << 16), 333333);
      EXPECT_EQ(r.data[18] | (r.data[19] << 8), 38400);
    }
  }
  // None of these is an extension-unit request: the trace stays empty.
  EXPECT_TRUE(server->trace().lines().empty());
}

}  // namespace
}  // namespace qv::sim::usbip::test
