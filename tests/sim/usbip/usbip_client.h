#pragma once
// A tiny USB/IP host for the tests: builds CMD_SUBMIT and CMD_UNLINK frames
// by hand, sends them to the server over a socketpair and reads the
// replies, turning the server's loop in between.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/usbip/usbip_server.h"

namespace qv::sim::usbip::test {

struct Reply {
  UsbipHeader header;
  std::int32_t status() const { return static_cast<std::int32_t>(header.field[0]); }
  std::uint32_t actual() const { return header.field[1]; }
  std::vector<std::uint8_t> data;
};

std::array<std::uint8_t, 8> setupBytes(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                       std::uint16_t index, std::uint16_t length);
std::vector<std::uint8_t> submitFrame(std::uint32_t seqnum, std::uint32_t devid,
                                      std::uint32_t direction, std::uint32_t ep,
                                      std::uint32_t length,
                                      const std::array<std::uint8_t, 8>& setup,
                                      const std::vector<std::uint8_t>& out = {});
std::vector<std::uint8_t> unlinkFrame(std::uint32_t seqnum, std::uint32_t devid,
                                      std::uint32_t target);

// A server over a scene text with a client connected to camera `camera`.
std::unique_ptr<UsbipServer> openServer(const std::string& sceneText,
                                        const std::string& baseDir = "");

class Client {
 public:
  Client(UsbipServer& server, std::size_t camera = 0);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void send(const std::vector<std::uint8_t>& bytes);
  // Turns the server's loop until a whole reply has arrived (bounded).
  std::optional<Reply> receive();
  // Turns the loop a few rounds; true when the server closed the
  // connection and nothing more arrived.
  bool closedByServer();
  // Turns the loop a few rounds; true when nothing arrived.
  bool quiet();
  void shutdownSending();

  // One control transfer on endpoint 0: IN when `type` has bit 7.
  Reply control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                std::uint16_t length, const std::vector<std::uint8_t>& out = {});
  // Extension-unit requests as uvcvideo sends them (unit 2, interface 0).
  Reply xu(std::uint8_t request, std::uint8_t selector, std::uint16_t length,
           const std::vector<std::uint8_t>& out = {});
  // The request error code control, read as uvcvideo does after a stall.
  std::uint8_t errorCode();

  std::uint32_t nextSeqnum() { return seqnum_++; }
  std::uint32_t devid() const { return devid_; }

 private:
  bool pump(int rounds);
  std::optional<Reply> parse();

  UsbipServer& server_;
  int fd_ = -1;
  std::uint32_t devid_;
  std::uint32_t seqnum_ = 1;
  std::vector<std::uint8_t> rx_;
  bool eof_ = false;
};

}  // namespace qv::sim::usbip::test
