#pragma once
// The extension-unit control channel: SET, GET and GET-LENGTH on a control
// of the camera's vendor extension unit, over Kernel Streaming or the
// driver's private interface.

#include <cstdint>

#include "platform/camera_stack.h"

namespace qv {

// Chip families, from the high nibble of the chip ID register.
using ChipFamily = std::uint8_t;
inline constexpr ChipFamily CHIP_FAMILY_NONE = 100;
inline constexpr ChipFamily CHIP_FAMILY_ANY = 101;

// Extension-unit control selectors.
inline constexpr std::uint32_t XU_REG_ADDR = 2;
inline constexpr std::uint32_t XU_REG_DATA = 3;
inline constexpr std::uint32_t XU_FLASH_PARAM_INDEX = 7;
inline constexpr std::uint32_t XU_FLASH_PARAM_VALUE = 8;
inline constexpr std::uint32_t XU_DFU_ENABLE = 9;
inline constexpr std::uint32_t XU_DFU_DATA = 10;
inline constexpr std::uint32_t XU_DFU_CHECKSUM = 11;
inline constexpr std::uint32_t XU_DFU_COMMIT = 12;
inline constexpr std::uint32_t XU_SECTOR_ADDR = 13;
inline constexpr std::uint32_t XU_FLASH_ADDR = 14;
inline constexpr std::uint32_t XU_FLASH_DATA = 15;
inline constexpr std::uint32_t XU_FLASH_MODE = 16;
inline constexpr std::uint32_t XU_DFU_PREPARE = 20;
inline constexpr std::uint32_t XU_FLASH_WRITE = 22;
inline constexpr std::uint32_t XU_FLASH_ID = 23;

// Channel modes.
inline constexpr std::int32_t XU_MODE_PRIVATE = 0;
inline constexpr std::int32_t XU_MODE_KS_AND_PRIVATE = 1;
inline constexpr std::int32_t XU_MODE_KS = 2;
inline constexpr std::int32_t XU_MODE_UNBOUND = 3;

// Result of every request on an unbound channel, and of a topology search
// in which no node answered (positive: not a failure code).
inline constexpr HResult kXuUnbound = hr::False;
// A private-route request longer than the request block or reply area
// holds (E_INVALIDARG); nothing is sent.
inline constexpr HResult kXuRequestTooLong = static_cast<HResult>(0x80070057u);
// A GET the driver answered with fewer bytes than asked for
// (HRESULT_FROM_WIN32(ERROR_INVALID_DATA)): the rest of the caller's buffer
// would hold stale bytes, so the request counts as failed.
inline constexpr HResult kXuShortReply = static_cast<HResult>(0x8007000Du);

// Whether a request's result says the camera did not answer in time
// (ERROR_SEM_TIMEOUT: Linux's ETIMEDOUT; ERROR_TIMEOUT).
constexpr bool IsRequestTimeout(HResult result) {
  return result == hr::SemTimeout || result == hr::Timeout;
}

// Writes the 4-byte header of a private-route request block: the data
// length (16-bit little-endian), the UVC request code and the selector.
void WriteXuRequestHeader(std::uint8_t* block, std::uint32_t selector, std::uint8_t requestCode,
                          std::uint16_t length);

class CXuChannel {
 public:
  CXuChannel();
  CXuChannel(const CXuChannel&) = delete;
  CXuChannel& operator=(const CXuChannel&) = delete;

  HResult SetPrivateInterface(IVendorXuAccess* privateInterface);
  HResult SetControl(std::uint32_t selector, std::uint32_t length, const std::uint8_t* data);
  HResult GetControl(std::uint32_t selector, std::uint32_t length, std::uint8_t* buffer);
  HResult GetControlLength(std::uint32_t selector, std::uint32_t* length);
  HResult FindExtensionUnit(IKsTopologyInfo* topology, IKsControl* control);
  // Which requests the bound unit's control takes, as the driver describes
  // it (basic support): `access` receives kKsPropertyTypeGet and/or
  // kKsPropertyTypeSet. A question about the unit rather than a request to
  // the control, so a refusal is not a failure of the run. Only the Kernel
  // Streaming route can ask it (E_NOTIMPL on the others).
  HResult QueryControlAccess(std::uint32_t selector, std::uint32_t& access);
  // The controls the bound unit declares, from its descriptor as the
  // driver hands it out (KSPROPERTY_EXTENSION_UNIT_INFO): bit n - 1 of
  // `declared` for control n. Also a question about the unit: a refusal is
  // returned as it is and not noted. kXuShortReply when the answer is not
  // the unit's whole descriptor; E_NOTIMPL off the Kernel Streaming route.
  HResult queryDeclaredControls(std::uint32_t& declared);

  std::int32_t mode() const { return mode_; }
  void setMode(std::int32_t mode) { mode_ = mode; }
  ChipFamily family() const { return family_; }
  void setFamily(ChipFamily family) { family_ = family; }
  std::uint32_t nodeId() const { return nodeId_; }
  const KSP_NODE& property() const { return property_; }
  IKsControl* ksControl() const { return ksControl_; }
  IVendorXuAccess* privateInterface() const { return private_; }
  // Forgets the KS control interface (its owner is about to release it).
  void detachKsControl() { ksControl_ = nullptr; }

  // A request timed out: the camera is taken as no longer answering, and
  // every later request fails at once with that result, never reaching the
  // camera (the driver gives each control request seconds, uvcvideo 5 s; a
  // silent camera must not cost that for each of hundreds of requests).
  bool silent() const { return silent_; }

  // While one lives, requests reach a camera the channel took as silent:
  // the few that leave the chip safe after a timeout (download mode left,
  // the chip reset), since a camera that was only slow still takes them. A
  // timeout among them silences the channel again at once, so they cost at
  // most one more driver timeout; when it ends, a channel that was silent
  // is silent again.
  class LastWords {
   public:
    explicit LastWords(CXuChannel& channel) : channel_(channel), wasSilent_(channel.silent_) {
      channel_.silent_ = false;
      channel_.lastWords_ = wasSilent_;
    }
    ~LastWords() {
      channel_.silent_ = channel_.silent_ || wasSilent_;
      channel_.lastWords_ = false;
    }
    LastWords(const LastWords&) = delete;
    LastWords& operator=(const LastWords&) = delete;

   private:
    CXuChannel& channel_;
    bool wasSilent_;
  };

  // While one lives, the requests sent are the chip reset, after which a
  // real camera drops off the bus (the device goes away while answering, or
  // the answer times out): their failures are expected, neither noted for
  // the run's reason nor silencing the channel.
  class GoingAway {
   public:
    explicit GoingAway(CXuChannel& channel) : channel_(channel) { channel_.goingAway_ = true; }
    ~GoingAway() { channel_.goingAway_ = false; }
    GoingAway(const GoingAway&) = delete;
    GoingAway& operator=(const GoingAway&) = delete;

   private:
    CXuChannel& channel_;
  };

 private:
  // Notes a failed request for the run's reason; a timeout silences the
  // channel.
  HResult noted(HResult result, std::uint32_t selector);
  // Drops the system error a call before this request left behind.
  static void forgetSystemError();
  HResult ksRequest(std::uint32_t selector, std::uint32_t flags, void* data, std::uint32_t length,
                    std::uint32_t* bytesReturned);

  std::uint32_t nodeId_ = 0;
  IKsControl* ksControl_ = nullptr;
  IVendorXuAccess* private_ = nullptr;
  KSP_NODE property_{};
  std::int32_t mode_ = XU_MODE_UNBOUND;
  ChipFamily family_ = CHIP_FAMILY_NONE;
  bool silent_ = false;
  // Requests sent under LastWords to a camera that had timed out: its
  // timeout is already noted.
  bool lastWords_ = false;
  bool goingAway_ = false;  // see GoingAway
  HResult silentResult_ = hr::SemTimeout;
  // The private route's fixed request block and reply area (no request
  // allocates memory).
  std::uint8_t block_[kXuRequestBlockSize]{};
  std::uint8_t reply_[kXuReplySize]{};
};

}  // namespace qv
