#pragma once
// One USB/IP connection of a simulated camera, without the socket: takes
// the bytes the host controller (vhci-hcd) sends, answers CMD_SUBMIT with
// RET_SUBMIT and CMD_UNLINK with RET_UNLINK, and hands the bytes to send
// back. Headers are 48 bytes of big-endian 32-bit fields with the 8 setup
// bytes raw (Documentation/usb/usbip_protocol.rst).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/usbip/usb_camera.h"

namespace qv::sim::usbip {

inline constexpr std::size_t kHeaderSize = 48;
inline constexpr std::uint32_t kCmdSubmit = 0x0001;
inline constexpr std::uint32_t kCmdUnlink = 0x0002;
inline constexpr std::uint32_t kRetSubmit = 0x0003;
inline constexpr std::uint32_t kRetUnlink = 0x0004;
inline constexpr std::uint32_t kDirOut = 0;
inline constexpr std::uint32_t kDirIn = 1;
// Status values (negative errno, as the Linux host sees them).
inline constexpr std::int32_t kStatusStall = -32;      // EPIPE
inline constexpr std::int32_t kStatusUnlinked = -104;  // ECONNRESET
// A control transfer carries at most 65535 bytes (wLength is 16 bits).
inline constexpr std::uint32_t kMaxTransfer = 0xFFFF;
// Transfers left pending (bulk IN, a control request that is never
// answered) until the host unlinks them.
inline constexpr std::size_t kMaxPending = 64;

struct UsbipHeader {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t ep = 0;
  // CMD_SUBMIT / RET_SUBMIT / CMD_UNLINK / RET_UNLINK fields, in order.
  std::uint32_t field[5] = {};
  std::uint8_t setup[8] = {};

  static UsbipHeader decode(const std::uint8_t* raw);
  void encode(std::uint8_t* raw) const;
};

class UsbipLink {
 public:
  enum class State {
    Open,
    Unplugging,  // the camera is pulled once its last reply is out
    Broken,      // the peer sent something that is not USB/IP
  };

  UsbipLink(UsbCamera& camera, std::uint32_t devid);

  // Where the next received bytes go, and how many arrived there.
  std::span<std::uint8_t> receiveSpace();
  void received(std::size_t count);

  // The bytes waiting to be sent, and how many of them were sent.
  std::span<const std::uint8_t> output() const;
  void sent(std::size_t count);

  State state() const { return state_; }
  // Unplugging with everything sent, or broken: the connection is over.
  bool finished() const;
  const std::string& problem() const { return problem_; }
  std::uint32_t devid() const { return devid_; }
  std::size_t pendingCount() const { return pending_.size(); }

 private:
  void process();
  void handleSubmit(const UsbipHeader& h, std::uint8_t* outData);
  void handleUnlink(const UsbipHeader& h);
  void retSubmit(const UsbipHeader& h, std::int32_t status, std::uint32_t actual,
                 const std::uint8_t* data);
  void breakLink(std::string problem);

  UsbCamera& camera_;
  std::uint32_t devid_;
  State state_ = State::Open;
  std::string problem_;
  std::vector<std::uint8_t> rx_;
  std::size_t rxUsed_ = 0;
  std::vector<std::uint8_t> tx_;
  std::size_t txSent_ = 0;
  std::vector<std::uint8_t> reply_;  // one IN transfer's data
  struct Pending {
    std::uint32_t seqnum;
  };
  std::vector<Pending> pending_;
};

}  // namespace qv::sim::usbip
