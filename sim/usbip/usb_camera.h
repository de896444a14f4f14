#pragma once
// One simulated camera as a USB device: answers the control requests on
// endpoint 0 (standard requests, the streaming probe and commit controls,
// the request error code control) and hands the extension unit's SET_CUR,
// GET_CUR and GET_LEN to the camera model.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/camera_model.h"
#include "sim/trace.h"
#include "sim/usbip/usb_descriptors.h"

namespace qv::sim::usbip {

// UVC class request codes.
inline constexpr std::uint8_t kUvcSetCur = 0x01;
inline constexpr std::uint8_t kUvcGetCur = 0x81;
inline constexpr std::uint8_t kUvcGetMin = 0x82;
inline constexpr std::uint8_t kUvcGetMax = 0x83;
inline constexpr std::uint8_t kUvcGetRes = 0x84;
inline constexpr std::uint8_t kUvcGetLen = 0x85;
inline constexpr std::uint8_t kUvcGetInfo = 0x86;
inline constexpr std::uint8_t kUvcGetDef = 0x87;

// VideoControl interface control: the request error code (UVC 1.5
// 4.2.1.2) and its codes.
inline constexpr std::uint8_t kVcRequestErrorCodeControl = 0x02;
inline constexpr std::uint8_t kErrNone = 0x00;
inline constexpr std::uint8_t kErrNotReady = 0x01;
inline constexpr std::uint8_t kErrWrongState = 0x02;
inline constexpr std::uint8_t kErrOutOfRange = 0x04;
inline constexpr std::uint8_t kErrInvalidUnit = 0x05;
inline constexpr std::uint8_t kErrInvalidControl = 0x06;
inline constexpr std::uint8_t kErrInvalidRequest = 0x07;
inline constexpr std::uint8_t kErrInvalidValue = 0x08;
inline constexpr std::uint8_t kErrUnknown = 0xFF;

// A refusal of the model that the camera answers by never completing the
// transfer (the host driver times out and unlinks it): ERROR_TIMEOUT and
// ERROR_SEM_TIMEOUT.
inline constexpr HResult kTimeoutResults[] = {static_cast<HResult>(0x800705B4u),
                                              static_cast<HResult>(0x80070079u)};

// How a model refusal reads in the request error code control.
struct ErrorCodeRow {
  HResult result;
  std::uint8_t code;
};
inline constexpr ErrorCodeRow kErrorCodeTable[] = {
    {static_cast<HResult>(0x80070490u), kErrInvalidControl},  // ERROR_NOT_FOUND: unknown selector
    {static_cast<HResult>(0x80070492u), kErrInvalidUnit},     // ERROR_SET_NOT_FOUND
    {static_cast<HResult>(0x800700AAu), kErrNotReady},        // ERROR_BUSY
    {static_cast<HResult>(0x80070015u), kErrNotReady},        // ERROR_NOT_READY
    {static_cast<HResult>(0x800705B4u), kErrNotReady},        // ERROR_TIMEOUT
    {static_cast<HResult>(0x80070079u), kErrNotReady},        // ERROR_SEM_TIMEOUT
    {static_cast<HResult>(0x80070005u), kErrWrongState},      // E_ACCESSDENIED
    {static_cast<HResult>(0x8007000Du), kErrInvalidValue},    // ERROR_INVALID_DATA
    {static_cast<HResult>(0x80070057u), kErrInvalidValue},    // E_INVALIDARG
};
// Every other refusal (ERROR_GEN_FAILURE, E_FAIL, an unplugged camera, ...).
inline constexpr std::uint8_t kErrorCodeOtherwise = kErrUnknown;

std::uint8_t errorCodeFor(HResult result);
bool isTimeout(HResult result);

struct SetupPacket {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
  // The 8 setup bytes as they travel (USB little-endian order).
  static SetupPacket parse(const std::uint8_t* raw);
  bool in() const { return (requestType & 0x80) != 0; }
};

enum class ControlOutcome {
  Done,     // completed; `length` bytes transferred
  Stall,    // the endpoint stalls (EPIPE)
  NoReply,  // never completed: the host times out and unlinks it
};
struct ControlResult {
  ControlOutcome outcome = ControlOutcome::Done;
  std::uint32_t length = 0;
};

class UsbCamera {
 public:
  UsbCamera(CameraModel& model, TraceSink& trace);

  // One control transfer on endpoint 0. `data` is the transfer buffer: for
  // OUT the bytes received, for IN the room for the reply (as long as the
  // transfer). Writes no more than `data.size()` bytes.
  ControlResult control(const SetupPacket& setup, std::span<std::uint8_t> data);

  // A new connection: the host has not asked anything yet.
  void reset();
  // The camera has answered the last request before it is pulled.
  bool unplugDue() const;
  // The n of an `unplug_after` fault (the smallest), if any.
  std::optional<std::uint32_t> unplugAfter() const;
  // The chip reset of a camera that re-enumerates has taken it off the bus
  // since this connection started (its reply to the reset still goes out).
  bool droppedOff() const { return model_.generation() != generation_; }

  CameraModel& model() { return model_; }
  const Descriptors& descriptors() const { return descriptors_; }
  std::uint8_t requestErrorCode() const { return vcError_; }
  std::uint8_t configuration() const { return configuration_; }

 private:
  ControlResult standardRequest(const SetupPacket& setup, std::span<std::uint8_t> data);
  ControlResult controlInterfaceRequest(const SetupPacket& setup, std::span<std::uint8_t> data);
  ControlResult unitRequest(const SetupPacket& setup, std::span<std::uint8_t> data);
  ControlResult modelRequest(XuRequest kind, std::uint32_t selector, std::span<std::uint8_t> data);
  // GET_MIN, GET_MAX, GET_RES and GET_DEF of a unit control.
  ControlResult rangeRequest(const SetupPacket& setup, std::span<std::uint8_t> data);
  ControlResult streamingRequest(const SetupPacket& setup, std::span<std::uint8_t> data);
  ControlResult refuseUnit(std::uint8_t code);
  void driverLine(const std::string& text);

  CameraModel& model_;
  TraceSink& trace_;
  Descriptors descriptors_;
  std::uint8_t configuration_ = 0;
  // The model's generation when the connection started.
  std::uint32_t generation_ = 0;
  std::uint8_t vcError_ = kErrNone;
  std::uint8_t vsError_ = kErrNone;
  // Selectors whose GET_INFO the host driver has asked: until then a
  // GET_LEN is the driver's own (it asks GET_LEN, then GET_INFO, the first
  // time a query meets a control), per video function: the driver caches
  // each function's controls on its own.
  std::array<std::array<bool, 256>, 2> introduced_{};
  // One past the last interface of the video functions.
  std::uint8_t lastInterface_ = 2;
  // The video function the current class request goes to.
  std::uint8_t function_ = 0;
  std::array<std::uint8_t, 26> probe_{};
  std::array<std::uint8_t, 26> commit_{};
};

}  // namespace qv::sim::usbip
