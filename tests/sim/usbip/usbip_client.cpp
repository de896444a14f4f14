#include "usbip_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qv::sim::usbip::test {

std::array<std::uint8_t, 8> setupBytes(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                       std::uint16_t index, std::uint16_t length) {
  return {type,
          request,
          static_cast<std::uint8_t>(value),
          static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(index),
          static_cast<std::uint8_t>(index >> 8),
          static_cast<std::uint8_t>(length),
          static_cast<std::uint8_t>(length >> 8)};
}

std::vector<std::uint8_t> submitFrame(std::uint32_t seqnum, std::uint32_t devid,
                                      std::uint32_t direction, std::uint32_t ep,
                                      std::uint32_t length,
                                      const std::array<std::uint8_t, 8>& setup,
                                      const std::vector<std::uint8_t>& out) {
  UsbipHeader h;
  h.command = kCmdSubmit;
  h.seqnum = seqnum;
  h.devid = devid;
  h.direction = direction;
  h.ep = ep;
  h.field[0] = direction == kDirIn ? 0x200 : 0;  // transfer_flags as vhci sends them
  h.field[1] = length;
  std::memcpy(h.setup, setup.data(), 8);
  std::vector<std::uint8_t> frame(kHeaderSize);
  h.encode(frame.data());
  frame.insert(frame.end(), out.begin(), out.end());
  return frame;
}

std::vector<std::uint8_t> unlinkFrame(std::uint32_t seqnum, std::uint32_t devid,
                                      std::uint32_t target) {
  UsbipHeader h;
  h.command = kCmdUnlink;
  h.seqnum = seqnum;
  h.devid = devid;
  h.field[0] = target;
  std::vector<std::uint8_t> frame(kHeaderSize);
  h.encode(frame.data());
  return frame;
}

std::unique_ptr<UsbipServer> openServer(const std::string& sceneText, const std::string& baseDir) {
  std::string error;
  auto server = UsbipServer::openText(sceneText, baseDir, "scene.json", error);
  EXPECT_NE(server, nullptr) << error;
  return server;
}

Client::Client(UsbipServer& server, std::size_t camera) : server_(server), devid_(devidOf(camera)) {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  fd_ = fds[0];
  server_.serve(camera, fds[1], devid_);
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

void Client::send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
}

bool Client::pump(int rounds) {
  for (int i = 0; i < rounds; ++i) {
    server_.pollOnce(5);
    std::uint8_t buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        rx_.insert(rx_.end(), buffer, buffer + n);
        continue;
      }
      if (n == 0) eof_ = true;
      break;
    }
    if (!rx_.empty() || eof_) return true;
  }
  return false;
}

std::optional<Reply> Client::parse() {
  if (rx_.size() < kHeaderSize) return std::nullopt;
  Reply reply;
  reply.header = UsbipHeader::decode(rx_.data());
  std::size_t size = kHeaderSize;
  if (reply.header.command == kRetSubmit && reply.header.direction == kDirIn) {
    size += reply.actual();
  }
  if (rx_.size() < size) return std::nullopt;
  reply.data.assign(rx_.begin() + kHeaderSize, rx_.begin() + static_cast<std::ptrdiff_t>(size));
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(size));
  return reply;
}

std::optional<Reply> Client::receive() {
  for (int i = 0; i < 200; ++i) {
    if (auto reply = parse()) return reply;
    if (eof_) return std::nullopt;
    pump(1);
  }
  return std::nullopt;
}

bool Client::closedByServer() {
  for (int i = 0; i < 20 && !eof_; ++i) pump(1);
  return eof_ && rx_.empty();
}

bool Client::quiet() {
  pump(5);
  return rx_.empty() && !eof_;
}

void Client::shutdownSending() { ::shutdown(fd_, SHUT_WR); }

Reply Client::control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                      std::uint16_t index, std::uint16_t length,
                      const std::vector<std::uint8_t>& out) {
  const bool in = (type & 0x80) != 0;
  const std::uint32_t seqnum = nextSeqnum();
  send(submitFrame(seqnum, devid_, in ? kDirIn : kDirOut, 0, length,
                   setupBytes(type, request, value, index, length), out));
  auto reply = receive();
  EXPECT_TRUE(reply.has_value()) << "no reply to request " << int{request};
  if (!reply) return Reply{};
  EXPECT_EQ(reply->header.command, kRetSubmit);
  EXPECT_EQ(reply->header.seqnum, seqnum);
  return *reply;
}

Reply Client::xu(std::uint8_t request, std::uint8_t selector, std::uint16_t length,
                 const std::vector<std::uint8_t>& out) {
  const std::uint8_t type = request == kUvcSetCur ? 0x21 : 0xA1;
  return control(type, request, static_cast<std::uint16_t>(selector << 8),
                 static_cast<std::uint16_t>(kExtensionUnitId << 8 | kVcInterface), length, out);
}

std::uint8_t Client::errorCode() {
  const Reply r = control(0xA1, kUvcGetCur, kVcRequestErrorCodeControl << 8, kVcInterface, 1);
  EXPECT_EQ(r.status(), 0);
  EXPECT_EQ(r.data.size(), 1u);
  return r.data.empty() ? 0xEE : r.data[0];
}

}  // namespace qv::sim::usbip::test
