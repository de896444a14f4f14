#include "sim/usbip/usbip_link.h"

#include <algorithm>
#include <cstring>

namespace qv::sim::usbip {
namespace {

// While this much output waits, no more requests are taken in: a peer that
// stops reading cannot make the camera buffer without bound.
constexpr std::size_t kOutputLimit = 4 * (kHeaderSize + kMaxTransfer);

std::uint32_t get32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

void put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

UsbipHeader UsbipHeader::decode(const std::uint8_t* raw) {
  UsbipHeader h;
  h.command = get32(raw);
  h.seqnum = get32(raw + 4);
  h.devid = get32(raw + 8);
  h.direction = get32(raw + 12);
  h.ep = get32(raw + 16);
  for (int i = 0; i < 5; ++i) h.field[i] = get32(raw + 20 + 4 * i);
  std::memcpy(h.setup, raw + 40, 8);
  return h;
}

void UsbipHeader::encode(std::uint8_t* raw) const {
  put32(raw, command);
  put32(raw + 4, seqnum);
  put32(raw + 8, devid);
  put32(raw + 12, direction);
  put32(raw + 16, ep);
  for (int i = 0; i < 5; ++i) put32(raw + 20 + 4 * i, field[i]);
  std::memcpy(raw + 40, setup, 8);
}

UsbipLink::UsbipLink(UsbCamera& camera, std::uint32_t devid)
    : camera_(camera), devid_(devid), rx_(kHeaderSize + kMaxTransfer), reply_(kMaxTransfer) {
  tx_.reserve(kOutputLimit + kHeaderSize + kMaxTransfer);
  pending_.reserve(kMaxPending);
  camera_.reset();
}

std::span<std::uint8_t> UsbipLink::receiveSpace() {
  if (state_ != State::Open || tx_.size() - txSent_ >= kOutputLimit) return {};
  return std::span<std::uint8_t>(rx_).subspan(rxUsed_);
}

void UsbipLink::received(std::size_t count) {
  rxUsed_ += std::min(count, rx_.size() - rxUsed_);
  process();
}

std::span<const std::uint8_t> UsbipLink::output() const {
  return std::span<const std::uint8_t>(tx_).subspan(txSent_);
}

void UsbipLink::sent(std::size_t count) {
  txSent_ += std::min(count, tx_.size() - txSent_);
  if (txSent_ == tx_.size()) {
    tx_.clear();
    txSent_ = 0;
  }
  process();
}

bool UsbipLink::finished() const {
  return state_ == State::Broken || (state_ == State::Unplugging && output().empty());
}

void UsbipLink::breakLink(std::string problem) {
  state_ = State::Broken;
  problem_ = std::move(problem);
  rxUsed_ = 0;
}

void UsbipLink::process() {
  std::size_t offset = 0;
  while (state_ == State::Open && tx_.size() - txSent_ < kOutputLimit &&
         rxUsed_ - offset >= kHeaderSize) {
    std::uint8_t* frame = rx_.data() + offset;
    const UsbipHeader h = UsbipHeader::decode(frame);
    if (h.devid != devid_) {
      breakLink("request for device " + std::to_string(h.devid));
      return;
    }
    std::size_t frameSize = kHeaderSize;
    if (h.command == kCmdSubmit) {
      const std::uint32_t length = h.field[1];
      const std::int32_t packets = static_cast<std::int32_t>(h.field[3]);
      if (h.direction != kDirOut && h.direction != kDirIn) {
        breakLink("direction " + std::to_string(h.direction));
        return;
      }
      if (h.ep > 15) {
        breakLink("endpoint " + std::to_string(h.ep));
        return;
      }
      // The camera has no isochronous endpoint: no packet descriptors follow.
      if (packets != 0 && packets != -1) {
        breakLink("isochronous submit");
        return;
      }
      if (length > 0x7FFFFFFFu || (h.ep == 0 && length > kMaxTransfer) ||
          (h.direction == kDirOut && length > kMaxTransfer)) {
        breakLink("transfer length " + std::to_string(length));
        return;
      }
      if (h.direction == kDirOut) frameSize += length;
      if (rxUsed_ - offset < frameSize) break;
      handleSubmit(h, frame + kHeaderSize);
    } else if (h.command == kCmdUnlink) {
      handleUnlink(h);
    } else {
      breakLink("command " + std::to_string(h.command));
      return;
    }
    offset += frameSize;
    if (camera_.unplugDue() || camera_.droppedOff()) {
      // Pulled, or off the bus after the chip reset: whatever else the host
      // sent is never answered.
      state_ = State::Unplugging;
      rxUsed_ = 0;
      return;
    }
  }
  if (offset > 0) {
    std::memmove(rx_.data(), rx_.data() + offset, rxUsed_ - offset);
    rxUsed_ -= offset;
  }
}

void UsbipLink::handleSubmit(const UsbipHeader& h, std::uint8_t* outData) {
  const std::uint32_t length = h.field[1];
  if (h.ep != 0) {
    // A streaming endpoint never delivers a frame: an IN transfer waits
    // until the host unlinks it. Any other endpoint does not exist.
    const std::uint32_t firstBulk = kBulkInEndpoint & 0x0F;
    const bool streaming =
        h.ep >= firstBulk && h.ep < firstBulk + functionCount(camera_.model().config());
    if (streaming && h.direction == kDirIn && pending_.size() < kMaxPending) {
      pending_.push_back({h.seqnum});
    } else {
      retSubmit(h, kStatusStall, 0, nullptr);
    }
    return;
  }
  const SetupPacket setup = SetupPacket::parse(h.setup);
  // The setup packet and the transfer must agree on the direction.
  if (setup.in() != (h.direction == kDirIn)) {
    retSubmit(h, kStatusStall, 0, nullptr);
    return;
  }
  std::span<std::uint8_t> data = h.direction == kDirIn
                                     ? std::span<std::uint8_t>(reply_).first(length)
                                     : std::span<std::uint8_t>(outData, length);
  const ControlResult result = camera_.control(setup, data);
  switch (result.outcome) {
    case ControlOutcome::Done:
      retSubmit(h, 0, h.direction == kDirIn ? result.length : length,
                h.direction == kDirIn ? reply_.data() : nullptr);
      break;
    case ControlOutcome::Stall:
      retSubmit(h, kStatusStall, 0, nullptr);
      break;
    case ControlOutcome::NoReply:
      if (pending_.size() < kMaxPending) {
        pending_.push_back({h.seqnum});
      } else {
        retSubmit(h, kStatusStall, 0, nullptr);
      }
      break;
  }
}

void UsbipLink::handleUnlink(const UsbipHeader& h) {
  const std::uint32_t target = h.field[0];
  const auto it = std::find_if(pending_.begin(), pending_.end(),
                               [&](const Pending& p) { return p.seqnum == target; });
  // Unlinked while pending: ECONNRESET and no RET_SUBMIT for it. Already
  // answered: status 0, the host finds nothing left to give back.
  std::int32_t status = 0;
  if (it != pending_.end()) {
    pending_.erase(it);
    status = kStatusUnlinked;
  }
  UsbipHeader r;
  r.command = kRetUnlink;
  r.seqnum = h.seqnum;
  r.devid = h.devid;
  r.field[0] = static_cast<std::uint32_t>(status);
  const std::size_t at = tx_.size();
  tx_.resize(at + kHeaderSize);
  r.encode(tx_.data() + at);
}

void UsbipLink::retSubmit(const UsbipHeader& h, std::int32_t status, std::uint32_t actual,
                          const std::uint8_t* data) {
  UsbipHeader r;
  r.command = kRetSubmit;
  r.seqnum = h.seqnum;
  r.devid = h.devid;
  r.direction = h.direction;
  r.ep = h.ep;
  r.field[0] = static_cast<std::uint32_t>(status);
  r.field[1] = actual;
  const std::size_t dataBytes = data != nullptr ? actual : 0;
  const std::size_t at = tx_.size();
  tx_.resize(at + kHeaderSize + dataBytes);
  r.encode(tx_.data() + at);
  if (dataBytes > 0) std::memcpy(tx_.data() + at + kHeaderSize, data, dataBytes);
}

}  // namespace qv::sim::usbip
