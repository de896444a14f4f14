#include "sim/usbip/usb_camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qv::sim::usbip {
namespace {

// Standard requests (USB 2.0 table 9-4).
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;

constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeClass = 0x20;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kRecipientInterface = 0x01;

// VideoStreaming interface controls.
constexpr std::uint8_t kVsProbeControl = 0x01;
constexpr std::uint8_t kVsCommitControl = 0x02;
constexpr std::uint8_t kVsStreamErrorCodeControl = 0x06;
constexpr std::uint16_t kProbeSize = 26;  // UVC 1.0 probe/commit structure

ControlResult done(std::uint32_t length) { return {ControlOutcome::Done, length}; }
ControlResult stall() { return {ControlOutcome::Stall, 0}; }

// Copies a reply into the transfer buffer, cut at the buffer's size.
ControlResult reply(std::span<std::uint8_t> data, const std::uint8_t* bytes, std::size_t count) {
  const std::size_t n = std::min(count, data.size());
  std::memcpy(data.data(), bytes, n);
  return done(static_cast<std::uint32_t>(n));
}

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The streaming parameters the camera settles on: its one format and frame,
// whatever the host proposed.
void negotiate(std::array<std::uint8_t, 26>& p) {
  p[2] = 1;  // bFormatIndex
  p[3] = 1;  // bFrameIndex
  put32(&p[4], kFrameInterval);
  put32(&p[18], kFrameBytes);  // dwMaxVideoFrameSize
  put32(&p[22], kFrameBytes);  // dwMaxPayloadTransferSize
}

std::string hexByte(std::uint8_t v) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", v);
  return text;
}

const char* unitRequestName(std::uint8_t request) {
  switch (request) {
    case kUvcGetMin:
      return "MIN";
    case kUvcGetMax:
      return "MAX";
    case kUvcGetRes:
      return "RES";
    case kUvcGetDef:
      return "DEF";
    default:
      return nullptr;
  }
}

}  // namespace

std::uint8_t errorCodeFor(HResult result) {
  for (const ErrorCodeRow& row : kErrorCodeTable) {
    if (row.result == result) return row.code;
  }
  return kErrorCodeOtherwise;
}

bool isTimeout(HResult result) {
  return std::find(std::begin(kTimeoutResults), std::end(kTimeoutResults), result) !=
         std::end(kTimeoutResults);
}

SetupPacket SetupPacket::parse(const std::uint8_t* raw) {
  SetupPacket s;
  s.requestType = raw[0];
  s.request = raw[1];
  s.value = static_cast<std::uint16_t>(raw[2] | (raw[3] << 8));
  s.index = static_cast<std::uint16_t>(raw[4] | (raw[5] << 8));
  s.length = static_cast<std::uint16_t>(raw[6] | (raw[7] << 8));
  return s;
}

UsbCamera::UsbCamera(CameraModel& model, TraceSink& trace)
    : model_(model),
      trace_(trace),
      descriptors_(buildDescriptors(model.config(), model.index())),
      lastInterface_(static_cast<std::uint8_t>(2 * functionCount(model.config()))) {
  reset();
}

void UsbCamera::reset() {
  configuration_ = 0;
  generation_ = model_.generation();
  vcError_ = kErrNone;
  vsError_ = kErrNone;
  for (auto& f : introduced_) f.fill(false);
  probe_.fill(0);
  negotiate(probe_);
  commit_ = probe_;
}

std::optional<std::uint32_t> UsbCamera::unplugAfter() const {
  std::optional<std::uint32_t> n;
  for (const FaultConfig& fault : model_.config().faults) {
    if (fault.kind == FaultConfig::Kind::UnplugAfter && (!n || fault.request < *n)) {
      n = fault.request;
    }
  }
  return n;
}

bool UsbCamera::unplugDue() const {
  const auto n = unplugAfter();
  return n && model_.requestCount() >= *n;
}

void UsbCamera::driverLine(const std::string& text) {
  trace_.line("# " + std::to_string(model_.index()) + " " + text);
}

ControlResult UsbCamera::control(const SetupPacket& setup, std::span<std::uint8_t> data) {
  // The transfer carries at most wLength bytes.
  if (data.size() > setup.length) data = data.first(setup.length);
  switch (setup.requestType & kTypeMask) {
    case kTypeStandard:
      return standardRequest(setup, data);
    case kTypeClass:
      if ((setup.requestType & kRecipientMask) != kRecipientInterface) return stall();
      {
        const std::uint8_t interface = setup.index & 0xFF;
        if (interface >= lastInterface_) return stall();
        function_ = interface / 2;
        if (interface % 2 == 0) return controlInterfaceRequest(setup, data);
        return streamingRequest(setup, data);
      }
    default:
      return stall();
  }
}

ControlResult UsbCamera::standardRequest(const SetupPacket& setup, std::span<std::uint8_t> data) {
  const std::uint8_t recipient = setup.requestType & kRecipientMask;
  switch (setup.request) {
    case kGetDescriptor: {
      if (!setup.in() || recipient != 0) return stall();
      const std::uint8_t type = setup.value >> 8;
      const std::uint8_t index = setup.value & 0xFF;
      const std::vector<std::uint8_t>* d = nullptr;
      if (type == 0x01) d = &descriptors_.device;
      if (type == 0x02) {
        // By index: the vendor-specific configuration first, when there is one.
        const bool vendorFirst = !descriptors_.vendorConfiguration.empty();
        if (vendorFirst && index == 0) d = &descriptors_.vendorConfiguration;
        if (index == (vendorFirst ? 1 : 0)) d = &descriptors_.configuration;
      }
      if (type == 0x03 && index < descriptors_.strings.size()) d = &descriptors_.strings[index];
      if (type == 0x06) d = &descriptors_.qualifier;
      if (d == nullptr) return stall();
      return reply(data, d->data(), d->size());
    }
    case kSetConfiguration:
      if (setup.in() || setup.value > descriptors_.configurationValue) return stall();
      configuration_ = static_cast<std::uint8_t>(setup.value);
      return done(0);
    case kGetConfiguration:
      if (!setup.in()) return stall();
      return reply(data, &configuration_, 1);
    case kSetInterface:
      // One alternate setting per interface.
      if (setup.in() || recipient != kRecipientInterface || setup.index >= lastInterface_ ||
          setup.value != 0) {
        return stall();
      }
      return done(0);
    case kGetInterface: {
      if (!setup.in() || recipient != kRecipientInterface || setup.index >= lastInterface_) {
        return stall();
      }
      const std::uint8_t alternate = 0;
      return reply(data, &alternate, 1);
    }
    case kGetStatus: {
      if (!setup.in()) return stall();
      const std::uint8_t status[2] = {0, 0};  // bus powered, no remote wake-up, not halted
      return reply(data, status, 2);
    }
    case kClearFeature:
    case kSetFeature:
      // Endpoint halt and remote wake-up: nothing to keep.
      return setup.in() ? stall() : done(0);
    default:
      return stall();
  }
}

ControlResult UsbCamera::refuseUnit(std::uint8_t code) {
  vcError_ = code;
  return stall();
}

ControlResult UsbCamera::controlInterfaceRequest(const SetupPacket& setup,
                                                 std::span<std::uint8_t> data) {
  const std::uint8_t entity = setup.index >> 8;
  const std::uint8_t selector = setup.value >> 8;
  if (entity == kExtensionUnitId) return unitRequest(setup, data);
  if (entity != 0) {
    // The terminals have no controls; other IDs name no entity.
    const bool terminal = entity == kInputTerminalId || entity == kOutputTerminalId;
    return refuseUnit(terminal ? kErrInvalidControl : kErrInvalidUnit);
  }
  if (selector != kVcRequestErrorCodeControl) return refuseUnit(kErrInvalidControl);
  if (setup.request == kUvcGetCur && setup.in()) {
    // Reading the code leaves it as it is, so it can be read again.
    driverLine("ERROR " + hexByte(vcError_));
    return reply(data, &vcError_, 1);
  }
  if (setup.request == kUvcGetInfo && setup.in()) {
    const std::uint8_t info = 0x01;  // GET only
    return reply(data, &info, 1);
  }
  return refuseUnit(kErrInvalidRequest);
}

ControlResult UsbCamera::unitRequest(const SetupPacket& setup, std::span<std::uint8_t> data) {
  const std::uint8_t selector = setup.value >> 8;
  const std::string sel = std::to_string(selector);
  const bool wantIn = setup.request != kUvcSetCur;
  if (setup.in() != wantIn) {
    driverLine("REQ " + hexByte(setup.request) + " " + sel + " !" + hexByte(kErrInvalidRequest));
    return refuseUnit(kErrInvalidRequest);
  }
  switch (setup.request) {
    case kUvcSetCur:
      return modelRequest(XuRequest::Set, selector, data);
    case kUvcGetCur:
      return modelRequest(XuRequest::Get, selector, data);
    case kUvcGetLen: {
      if (!xuDeclaresFor(model_.config(), selector) || introduced_[function_][selector]) {
        return modelRequest(XuRequest::Len, selector, data);
      }
      // The driver's own question before it forwards the first query.
      const std::uint32_t length = std::min<std::uint32_t>(model_.reportedLength(selector), 0xFFFF);
      driverLine("LEN " + sel + " " + std::to_string(length));
      std::fill(data.begin(), data.end(), std::uint8_t{0});
      const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(length),
                                     static_cast<std::uint8_t>(length >> 8)};
      std::memcpy(data.data(), bytes, std::min<std::size_t>(2, data.size()));
      vcError_ = kErrNone;
      return done(static_cast<std::uint32_t>(data.size()));
    }
    case kUvcGetInfo: {
      if (!xuDeclaresFor(model_.config(), selector)) {
        driverLine("INFO " + sel + " !" + hexByte(kErrInvalidControl));
        return refuseUnit(kErrInvalidControl);
      }
      introduced_[function_][selector] = true;
      const std::uint8_t info = 0x03;  // GET and SET supported
      driverLine("INFO " + sel + " " + hexByte(info));
      vcError_ = kErrNone;
      return reply(data, &info, 1);
    }
    case kUvcGetMin:
    case kUvcGetMax:
    case kUvcGetRes:
    case kUvcGetDef:
      if (model_.config().usbContiguousControls) return rangeRequest(setup, data);
      [[fallthrough]];
    default: {
      const char* name = unitRequestName(setup.request);
      driverLine(std::string(name != nullptr ? name : "REQ " + hexByte(setup.request)) + " " + sel +
                 " !" + hexByte(kErrInvalidRequest));
      return refuseUnit(kErrInvalidRequest);
    }
  }
}

ControlResult UsbCamera::rangeRequest(const SetupPacket& setup, std::span<std::uint8_t> data) {
  // The range of a declared control, as Windows' in-box driver asks it of
  // every control when it starts: the control's length in bytes, from 0
  // (GET_MIN, GET_DEF) to all ones (GET_MAX) in steps of 1 (GET_RES). The
  // driver's own requests: the model does not see them.
  const std::uint8_t selector = setup.value >> 8;
  const std::string line =
      std::string(unitRequestName(setup.request)) + " " + std::to_string(selector);
  if (!xuDeclaresFor(model_.config(), selector)) {
    driverLine(line + " !" + hexByte(kErrInvalidControl));
    return refuseUnit(kErrInvalidControl);
  }
  const std::uint32_t length = model_.reportedLength(selector);
  if (data.size() != length) {
    driverLine(line + " !" + hexByte(kErrInvalidValue));
    return refuseUnit(kErrInvalidValue);
  }
  std::fill(data.begin(), data.end(), setup.request == kUvcGetMax ? 0xFF : 0x00);
  if (setup.request == kUvcGetRes && !data.empty()) data[0] = 0x01;
  driverLine(line + " " + std::to_string(length));
  vcError_ = kErrNone;
  return done(length);
}

ControlResult UsbCamera::modelRequest(XuRequest kind, std::uint32_t selector,
                                      std::span<std::uint8_t> data) {
  std::uint32_t reported = 0;
  std::uint8_t* buffer = kind == XuRequest::Len ? nullptr : data.data();
  const std::uint32_t length = kind == XuRequest::Len ? 0 : static_cast<std::uint32_t>(data.size());
  const HResult result = model_.request(kind, selector, buffer, length, reported);
  if (result != hr::Ok) {
    vcError_ = errorCodeFor(result);
    if (isTimeout(result)) return {ControlOutcome::NoReply, 0};
    return stall();
  }
  vcError_ = kErrNone;
  if (kind == XuRequest::Len) {
    reported = std::min<std::uint32_t>(reported, 0xFFFF);
    std::fill(data.begin(), data.end(), std::uint8_t{0});
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(reported),
                                   static_cast<std::uint8_t>(reported >> 8)};
    std::memcpy(data.data(), bytes, std::min<std::size_t>(2, data.size()));
  }
  // The scene's short reply: this GET_CUR sends half of what was asked.
  if (kind == XuRequest::Get && model_.config().usbShortReply != 0 &&
      model_.requestCount() == model_.config().usbShortReply) {
    return done(static_cast<std::uint32_t>(data.size() / 2));
  }
  return done(static_cast<std::uint32_t>(data.size()));
}

ControlResult UsbCamera::streamingRequest(const SetupPacket& setup, std::span<std::uint8_t> data) {
  const std::uint8_t selector = setup.value >> 8;
  if ((setup.index >> 8) != 0) {
    vsError_ = kErrInvalidUnit;
    return stall();
  }
  if (selector == kVsStreamErrorCodeControl && setup.request == kUvcGetCur && setup.in()) {
    return reply(data, &vsError_, 1);
  }
  if (selector != kVsProbeControl && selector != kVsCommitControl) {
    vsError_ = kErrInvalidControl;
    return stall();
  }
  auto& control = selector == kVsProbeControl ? probe_ : commit_;
  switch (setup.request) {
    case kUvcSetCur: {
      if (setup.in()) break;
      std::array<std::uint8_t, 26> proposed{};
      std::memcpy(proposed.data(), data.data(), std::min<std::size_t>(data.size(), kProbeSize));
      negotiate(proposed);
      control = proposed;
      vsError_ = kErrNone;
      return done(static_cast<std::uint32_t>(data.size()));
    }
    case kUvcGetCur:
      if (!setup.in()) break;
      vsError_ = kErrNone;
      return reply(data, control.data(), control.size());
    case kUvcGetMin:
    case kUvcGetMax:
    case kUvcGetDef:
    case kUvcGetRes: {
      if (!setup.in()) break;
      std::array<std::uint8_t, 26> fixed{};
      negotiate(fixed);
      vsError_ = kErrNone;
      return reply(data, fixed.data(), fixed.size());
    }
    case kUvcGetLen: {
      if (!setup.in()) break;
      const std::uint8_t bytes[2] = {kProbeSize, 0};
      vsError_ = kErrNone;
      return reply(data, bytes, 2);
    }
    case kUvcGetInfo: {
      if (!setup.in()) break;
      const std::uint8_t info = 0x03;
      vsError_ = kErrNone;
      return reply(data, &info, 1);
    }
    default:
      break;
  }
  vsError_ = kErrInvalidRequest;
  return stall();
}

}  // namespace qv::sim::usbip
