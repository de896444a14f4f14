#include "sim/usbip/usb_descriptors.h"

#include "base/guid.h"

namespace qv::sim::usbip {
namespace {

// Descriptor types and subtypes (USB 2.0 chapter 9, UVC 1.5 appendix A).
constexpr std::uint8_t kDtDevice = 0x01;
constexpr std::uint8_t kDtConfiguration = 0x02;
constexpr std::uint8_t kDtString = 0x03;
constexpr std::uint8_t kDtInterface = 0x04;
constexpr std::uint8_t kDtEndpoint = 0x05;
constexpr std::uint8_t kDtQualifier = 0x06;
constexpr std::uint8_t kDtIad = 0x0B;
constexpr std::uint8_t kCsInterface = 0x24;
constexpr std::uint8_t kClassVideo = 0x0E;
constexpr std::uint8_t kScVideoControl = 0x01;
constexpr std::uint8_t kScVideoStreaming = 0x02;
constexpr std::uint8_t kScVideoInterfaceCollection = 0x03;
constexpr std::uint8_t kVcHeader = 0x01;
constexpr std::uint8_t kVcInputTerminal = 0x02;
constexpr std::uint8_t kVcOutputTerminal = 0x03;
constexpr std::uint8_t kVcExtensionUnit = 0x06;
constexpr std::uint8_t kVsInputHeader = 0x01;
constexpr std::uint8_t kVsFormatUncompressed = 0x04;
constexpr std::uint8_t kVsFrameUncompressed = 0x05;
constexpr std::uint16_t kItCamera = 0x0201;
constexpr std::uint16_t kTtStreaming = 0x0101;
constexpr std::uint16_t kUvc100 = 0x0100;
constexpr std::uint16_t kUsb200 = 0x0200;
constexpr std::uint16_t kUsb300 = 0x0300;
constexpr std::uint8_t kDtSsEndpointCompanion = 0x30;
constexpr std::uint8_t kClassVendor = 0xFF;
// At super speed ep0 takes 512 bytes, written as its power of two, and bulk
// endpoints 1024.
constexpr std::uint8_t kEp0PacketSizeSuper = 9;
constexpr std::uint16_t kBulkPacketSizeSuper = 1024;

// YUY2: {32595559-0000-0010-8000-00AA00389B71} in descriptor byte order.
constexpr std::uint8_t kGuidYuy2[16] = {'Y',  'U',  'Y',  '2',  0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
  Writer& u8(std::uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  Writer& u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v)).u8(v >> 8); }
  Writer& u32(std::uint32_t v) { return u16(static_cast<std::uint16_t>(v)).u16(v >> 16); }
  Writer& bytes(const std::uint8_t* p, std::size_t n) {
    out_.insert(out_.end(), p, p + n);
    return *this;
  }
  std::size_t size() const { return out_.size(); }
  // Writes a 16-bit little-endian value at an earlier position.
  void patch16(std::size_t at, std::size_t v) {
    out_[at] = static_cast<std::uint8_t>(v);
    out_[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }

 private:
  std::vector<std::uint8_t>& out_;
};

std::vector<std::uint8_t> stringDescriptor(const std::string& ascii) {
  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(2 + 2 * ascii.size()));
  out.push_back(kDtString);
  for (char c : ascii) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

}  // namespace

std::array<std::uint8_t, 16> xuGuidBytes(bool secondary) {
  const Guid& g = secondary ? XU_GUID_SECONDARY : XU_GUID_PRIMARY;
  std::array<std::uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(g.data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[4 + i] = static_cast<std::uint8_t>(g.data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[6 + i] = static_cast<std::uint8_t>(g.data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) b[8 + i] = g.data4[i];
  return b;
}

Descriptors buildDescriptors(const CameraConfig& config, std::size_t index) {
  Descriptors d;
  const bool super = config.usbSuperSpeed;
  const bool vendorFirst = config.usbVendorConfigurationFirst;
  d.configurationValue = vendorFirst ? kVendorConfigurationValue + 1 : 1;
  // Device: class "miscellaneous / interface association" as video
  // functions announce themselves.
  Writer(d.device)
      .u8(18)
      .u8(kDtDevice)
      .u16(super ? kUsb300 : kUsb200)
      .u8(0xEF)
      .u8(0x02)
      .u8(0x01)
      .u8(super ? kEp0PacketSizeSuper : kEp0PacketSize)
      .u16(config.usbVendor)
      .u16(config.usbProduct)
      .u16(config.usbRevision)
      .u8(kStringManufacturer)
      .u8(kStringProduct)
      .u8(kStringSerial)
      .u8(vendorFirst ? 2 : 1);
  if (vendorFirst) {
    Writer v(d.vendorConfiguration);
    v.u8(9).u8(kDtConfiguration).u16(18).u8(1).u8(kVendorConfigurationValue).u8(0).u8(0x80);
    v.u8(50);
    v.u8(9).u8(kDtInterface).u8(0).u8(0).u8(0).u8(kClassVendor).u8(0).u8(0).u8(0);
  }
  Writer(d.qualifier)
      .u8(10)
      .u8(kDtQualifier)
      .u16(kUsb200)
      .u8(0xEF)
      .u8(0x02)
      .u8(0x01)
      .u8(kEp0PacketSize)
      .u8(1)
      .u8(0);

  const std::uint8_t functions = functionCount(config);
  Writer c(d.configuration);
  c.u8(9).u8(kDtConfiguration).u16(0).u8(2 * functions).u8(d.configurationValue).u8(0).u8(0x80);
  // Bus powered, 500 mA (bMaxPower counts 2 mA at high speed, 8 mA at super
  // speed, where a port gives 900 mA).
  c.u8(super ? 500 / 8 : 500 / 2);
  std::array<std::uint8_t, kXuControlBytes> bm{};
  std::uint8_t declared = 0;
  for (std::uint32_t s = 1; s <= 8 * kXuControlBytes; ++s) {
    if (!xuDeclaresFor(config, s)) continue;
    bm[(s - 1) / 8] |= static_cast<std::uint8_t>(1u << ((s - 1) % 8));
    ++declared;
  }
  const auto guid = xuGuidBytes(config.secondaryGuid);
  // Each function is its own interface association with the same chain; the
  // host driver numbers entities per VideoControl interface, so both use the
  // same IDs, and both units reach the one chip.
  for (std::uint8_t f = 0; f < functions; ++f) {
    const std::uint8_t vc = vcInterfaceOf(f);
    const std::uint8_t vs = vc + 1;
    const std::uint8_t endpoint = bulkEndpointOf(f);
    c.u8(8).u8(kDtIad).u8(vc).u8(2).u8(kClassVideo).u8(kScVideoInterfaceCollection).u8(0);
    c.u8(kStringProduct);

    // VideoControl interface and its class-specific descriptors.
    c.u8(9).u8(kDtInterface).u8(vc).u8(0).u8(0).u8(kClassVideo).u8(kScVideoControl);
    c.u8(0).u8(0);
    const std::size_t vcStart = c.size();
    c.u8(13).u8(kCsInterface).u8(kVcHeader).u16(kUvc100).u16(0).u32(kClockFrequency).u8(1);
    c.u8(vs);
    c.u8(18).u8(kCsInterface).u8(kVcInputTerminal).u8(kInputTerminalId).u16(kItCamera).u8(0);
    c.u8(0).u16(0).u16(0).u16(0).u8(3).u8(0).u8(0).u8(0);  // no camera controls
    c.u8(static_cast<std::uint8_t>(24 + 1 + kXuControlBytes)).u8(kCsInterface);
    c.u8(kVcExtensionUnit).u8(kExtensionUnitId).bytes(guid.data(), guid.size()).u8(declared);
    c.u8(1).u8(kInputTerminalId).u8(kXuControlBytes).bytes(bm.data(), bm.size()).u8(0);
    c.u8(9).u8(kCsInterface).u8(kVcOutputTerminal).u8(kOutputTerminalId).u16(kTtStreaming);
    c.u8(0).u8(kExtensionUnitId).u8(0);
    c.patch16(vcStart + 5, c.size() - vcStart);

    // VideoStreaming interface: one format, one frame, one bulk endpoint.
    c.u8(9).u8(kDtInterface).u8(vs).u8(0).u8(1).u8(kClassVideo).u8(kScVideoStreaming);
    c.u8(0).u8(0);
    const std::size_t vsStart = c.size();
    c.u8(14).u8(kCsInterface).u8(kVsInputHeader).u8(1).u16(0).u8(endpoint).u8(0);
    c.u8(kOutputTerminalId).u8(0).u8(0).u8(0).u8(1).u8(0);
    c.u8(27).u8(kCsInterface).u8(kVsFormatUncompressed).u8(1).u8(1).bytes(kGuidYuy2, 16);
    c.u8(16).u8(1).u8(0).u8(0).u8(0).u8(0);
    const std::uint32_t bitRate = kFrameBytes * 8 * (10'000'000 / kFrameInterval);
    c.u8(30).u8(kCsInterface).u8(kVsFrameUncompressed).u8(1).u8(0).u16(kFrameWidth);
    c.u16(kFrameHeight).u32(bitRate).u32(bitRate).u32(kFrameBytes).u32(kFrameInterval).u8(1);
    c.u32(kFrameInterval);
    c.patch16(vsStart + 4, c.size() - vsStart);
    c.u8(7).u8(kDtEndpoint).u8(endpoint).u8(0x02);
    c.u16(super ? kBulkPacketSizeSuper : kBulkPacketSize).u8(0);
    if (super) c.u8(6).u8(kDtSsEndpointCompanion).u8(0).u8(0).u16(0);  // no bursts, no streams
  }
  c.patch16(2, c.size());

  d.strings.push_back({4, kDtString, 0x09, 0x04});  // US English
  d.strings.push_back(stringDescriptor("qvflash"));
  d.strings.push_back(stringDescriptor("Simulated USB camera"));
  d.strings.push_back(stringDescriptor("QVSIM" + std::to_string(index)));
  return d;
}

}  // namespace qv::sim::usbip
