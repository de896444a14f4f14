// The extension-unit control channel.
#include "channel/xu_channel.h"

#include <cstdio>
#include <cstring>
#include <span>

#include "channel/extension_unit_info.h"
#include "platform/failure_notes.h"

namespace qv {

namespace {

// KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY and the GET counterpart.
constexpr std::uint32_t kKsSetFlags = kKsPropertyTypeSet | kKsPropertyTypeTopology;
constexpr std::uint32_t kKsGetFlags = kKsPropertyTypeGet | kKsPropertyTypeTopology;

bool isKsMode(std::int32_t mode) { return mode == XU_MODE_KS_AND_PRIVATE || mode == XU_MODE_KS; }

}  // namespace

void WriteXuRequestHeader(std::uint8_t* block, std::uint32_t selector, std::uint8_t requestCode,
                          std::uint16_t length) {
  block[0] = static_cast<std::uint8_t>(length & 0xFF);
  block[1] = static_cast<std::uint8_t>(length >> 8);
  block[2] = requestCode;
  block[3] = static_cast<std::uint8_t>(selector);
}

CXuChannel::CXuChannel() = default;

// A request the camera refused is noted for the run's reason: a camera that
// is gone or silent as such, any other failure once (the first one says the
// most). ERROR_MORE_DATA is how a control's length is told, not a failure.
// The system's error behind a failed request (an errno on Linux) goes with
// the note.
HResult CXuChannel::noted(HResult result, std::uint32_t selector) {
  FailureNotes& notes = runNotes();
  const std::optional<SystemError> system = notes.takeSystemError();
  if (!failed(result) || result == hr::MoreData || goingAway_) return result;
  if (result == hr::DeviceNotConnected) {
    if (!notes.has(FailureKind::Unplugged)) notes.note(FailureKind::Unplugged, {}, result, system);
  } else if (IsRequestTimeout(result)) {
    if (!silent_ && !lastWords_ && !notes.has(FailureKind::Unplugged)) {
      char detail[32];
      std::snprintf(detail, sizeof detail, "control %u", static_cast<unsigned>(selector));
      notes.note(FailureKind::CameraNotAnswering, detail, result, system);
    }
    silent_ = true;
    silentResult_ = result;
  } else if (!notes.has(FailureKind::RequestFailed)) {
    char detail[64];
    std::snprintf(
        detail, sizeof detail,
        result == kHrControlNotSetUp ? "the driver could not set up control %u" : "control %u",
        static_cast<unsigned>(selector));
    notes.note(FailureKind::RequestFailed, detail, result, system);
  }
  return result;
}

// A system error left by a call that was not a request (the in-use query, a
// node that did not open) is not this request's.
void CXuChannel::forgetSystemError() { (void)runNotes().takeSystemError(); }

HResult CXuChannel::SetPrivateInterface(IVendorXuAccess* privateInterface) {
  private_ = privateInterface;
  return hr::Ok;
}

HResult CXuChannel::ksRequest(std::uint32_t selector, std::uint32_t flags, void* data,
                              std::uint32_t length, std::uint32_t* bytesReturned) {
  property_.Property.Id = selector;
  property_.Property.Flags = flags;
  property_.NodeId = nodeId_;
  if (ksControl_ == nullptr) return hr::Pointer;
  forgetSystemError();
  return noted(ksControl_->KsProperty(&property_, sizeof(KSP_NODE), data, length, bytesReturned),
               selector);
}

HResult CXuChannel::QueryControlAccess(std::uint32_t selector, std::uint32_t& access) {
  if (silent_) return silentResult_;
  if (!isKsMode(mode_)) return hr::NotImpl;
  if (ksControl_ == nullptr) return hr::Pointer;
  KSP_NODE question = property_;
  question.Property.Id = selector;
  question.Property.Flags = kKsPropertyTypeBasicSupport | kKsPropertyTypeTopology;
  question.NodeId = nodeId_;
  std::uint32_t flags = 0;
  std::uint32_t returned = 0;
  const HResult result =
      ksControl_->KsProperty(&question, sizeof question, &flags, sizeof flags, &returned);
  if (failed(result)) return result;
  if (returned < sizeof flags) return kXuShortReply;
  access = flags;
  return hr::Ok;
}

HResult CXuChannel::queryDeclaredControls(std::uint32_t& declared) {
  if (silent_) return silentResult_;
  if (!isKsMode(mode_)) return hr::NotImpl;
  if (ksControl_ == nullptr) return hr::Pointer;
  KSP_NODE question = property_;
  question.Property.Id = kKsPropertyExtensionUnitInfo;
  question.Property.Flags = kKsGetFlags;
  question.NodeId = nodeId_;
  std::uint8_t answer[kExtensionUnitInfoMaxSize] = {};
  std::uint32_t returned = 0;
  const HResult result =
      ksControl_->KsProperty(&question, sizeof question, answer, sizeof answer, &returned);
  if (failed(result)) return result;
  // A byte count beyond the buffer is not believed beyond it.
  const std::span<const std::uint8_t> bytes(answer,
                                            returned < sizeof answer ? returned : sizeof answer);
  if (!parseExtensionUnitInfo(bytes, property_.Property.Set, declared)) return kXuShortReply;
  return hr::Ok;
}

HResult CXuChannel::SetControl(std::uint32_t selector, std::uint32_t length,
                               const std::uint8_t* data) {
  if (silent_) return silentResult_;
  if (isKsMode(mode_)) {
    std::uint32_t returned = 0;
    // The KS request takes a non-const buffer; a SET only reads it.
    return ksRequest(selector, kKsSetFlags, const_cast<std::uint8_t*>(data), length, &returned);
  }
  if (mode_ != XU_MODE_PRIVATE) return kXuUnbound;

  if (private_ == nullptr) return hr::Pointer;
  // The request block holds no more than its data area; no caller sends more
  // than 4096 bytes.
  if (length > kXuRequestDataSize) return kXuRequestTooLong;
  if (length > 0 && data == nullptr) return hr::Pointer;
  WriteXuRequestHeader(block_, selector, kUvcSetCur, static_cast<std::uint16_t>(length));
  if (length > 0) std::memcpy(block_ + 4, data, length);
  forgetSystemError();
  return noted(private_->SendRequest(kVendorXuCommand, block_), selector);
}

HResult CXuChannel::GetControl(std::uint32_t selector, std::uint32_t length, std::uint8_t* buffer) {
  if (silent_) return silentResult_;
  if (isKsMode(mode_)) {
    std::uint32_t returned = 0;
    const HResult result = ksRequest(selector, kKsGetFlags, buffer, length, &returned);
    if (succeeded(result) && returned < length) return kXuShortReply;
    return result;
  }
  if (mode_ != XU_MODE_PRIVATE) return kXuUnbound;

  if (private_ == nullptr) return hr::Pointer;
  // A reply never exceeds the reply area.
  if (length > kXuReplySize) return kXuRequestTooLong;
  if (length > 0 && buffer == nullptr) return hr::Pointer;
  WriteXuRequestHeader(block_, selector, kUvcGetCur, static_cast<std::uint16_t>(length));
  std::memset(block_ + 4, 0, 4);
  (void)private_->SendRequest(kVendorXuCommand, block_);
  forgetSystemError();
  const HResult result = noted(private_->ReadReply(kVendorXuCommand, reply_), selector);
  // The reply area is copied whatever the read returned.
  if (length > 0) std::memcpy(buffer, reply_, length);
  return result;
}

HResult CXuChannel::GetControlLength(std::uint32_t selector, std::uint32_t* length) {
  if (length == nullptr) return hr::Pointer;
  if (silent_) return silentResult_;
  if (isKsMode(mode_)) {
    std::uint32_t returned = 0;
    const HResult result = ksRequest(selector, kKsGetFlags, nullptr, 0, &returned);
    // The driver reports the control's length by refusing the empty buffer
    // with ERROR_MORE_DATA; any other answer, success included, carries none.
    if (result != hr::MoreData) return result;
    *length = returned;
    return hr::Ok;
  }
  if (mode_ != XU_MODE_PRIVATE) return kXuUnbound;

  if (private_ == nullptr) return hr::Pointer;
  WriteXuRequestHeader(block_, selector, kUvcGetLen, 2);
  (void)private_->SendRequest(kVendorXuCommand, block_);
  WriteXuRequestHeader(block_, selector, kUvcGetLen, 2);
  std::memset(block_ + 4, 0, 4);
  forgetSystemError();
  const HResult result = noted(private_->ReadReply(kVendorXuCommand, block_), selector);
  // The length is taken from the block whatever the read returned.
  *length = static_cast<std::uint32_t>(block_[0]) | (static_cast<std::uint32_t>(block_[1]) << 8);
  return result;
}

HResult CXuChannel::FindExtensionUnit(IKsTopologyInfo* topology, IKsControl* control) {
  ksControl_ = control;
  if (topology == nullptr) return hr::Pointer;

  std::uint32_t count = 0;
  const HResult countResult = topology->get_NumNodes(&count);
  if (failed(countResult)) return countResult;
  if (count == 0) return kXuUnbound;

  for (std::uint32_t i = 0; i < count; ++i) {
    Guid type{};
    if (failed(topology->get_NodeType(i, &type))) continue;
    if (!(type == kKsNodeTypeDevSpecific)) continue;

    property_.Property.Set = XU_GUID_PRIMARY;
    nodeId_ = i;
    std::uint8_t probe[2] = {};
    HResult result = GetControl(XU_REG_ADDR, sizeof(probe), probe);
    // Only "wrong property set" sends the probe again on the second set.
    if (result == hr::SetNotFound) {
      property_.Property.Set = XU_GUID_SECONDARY;
      result = GetControl(XU_REG_ADDR, sizeof(probe), probe);
    }
    if (result == hr::Ok) return hr::Ok;
  }
  return kXuUnbound;
}

}  // namespace qv
