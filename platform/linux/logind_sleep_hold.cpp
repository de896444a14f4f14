#include "platform/linux/logind_sleep_hold.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>
#include <utility>

namespace qv::linux_host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kDefaultBusAddress = "unix:path=/run/dbus/system_bus_socket";
// The messages of this exchange are a few hundred bytes; a header or body
// larger than this is not from the bus this code expects.
constexpr std::uint32_t kLargestPart = 64 * 1024;

// Message types and header field codes of the D-Bus wire format.
constexpr std::uint8_t kMethodCall = 1;
constexpr std::uint8_t kMethodReturn = 2;
constexpr std::uint8_t kError = 3;
constexpr std::uint8_t kFieldPath = 1;
constexpr std::uint8_t kFieldInterface = 2;
constexpr std::uint8_t kFieldMember = 3;
constexpr std::uint8_t kFieldErrorName = 4;
constexpr std::uint8_t kFieldReplySerial = 5;
constexpr std::uint8_t kFieldDestination = 6;
constexpr std::uint8_t kFieldSignature = 8;
constexpr std::uint8_t kFieldUnixFds = 9;
constexpr std::uint32_t kHelloSerial = 1;
constexpr std::uint32_t kInhibitSerial = 2;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string errorText(int error) { return std::strerror(error); }

// Text from the bus shown on one line of at most a few words.
std::string oneLine(std::string_view text) {
  std::string line(text.substr(0, 160));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return line;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct SocketName {
  std::string name;
  bool abstract = false;  // in the abstract namespace (Linux), not a file
};

// The socket of the first Unix-socket address of a D-Bus address list
// ("unix:path=/x;tcp:host=y", values %-escaped); none when there is none.
std::optional<SocketName> unixSocketOf(std::string_view addresses) {
  while (!addresses.empty()) {
    const std::size_t end = addresses.find(';');
    std::string_view keys = addresses.substr(0, end);
    addresses = end == std::string_view::npos ? std::string_view() : addresses.substr(end + 1);
    if (!keys.starts_with("unix:")) continue;
    keys.remove_prefix(5);
    while (!keys.empty()) {
      const std::size_t comma = keys.find(',');
      const std::string_view pair = keys.substr(0, comma);
      keys = comma == std::string_view::npos ? std::string_view() : keys.substr(comma + 1);
      SocketName socket;
      socket.abstract = pair.starts_with("abstract=");
      if (!socket.abstract && !pair.starts_with("path=")) continue;
      const std::string_view value = pair.substr(pair.find('=') + 1);
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() && hexDigit(value[i + 1]) >= 0 &&
            hexDigit(value[i + 2]) >= 0) {
          socket.name.push_back(
              static_cast<char>(hexDigit(value[i + 1]) * 16 + hexDigit(value[i + 2])));
          i += 2;
        } else {
          socket.name.push_back(value[i]);
        }
      }
      return socket;
    }
  }
  return std::nullopt;
}

// Little-endian marshalling into one buffer; alignment is counted from the
// buffer's start, which is the message's (or an 8-aligned body's) start.
class Writer {
 public:
  std::string bytes;
  void align(std::size_t n) { bytes.resize((bytes.size() + n - 1) / n * n, '\0'); }
  void u8(std::uint8_t v) { bytes.push_back(static_cast<char>(v)); }
  void u32(std::uint32_t v) {
    align(4);
    for (int shift = 0; shift < 32; shift += 8) u8(static_cast<std::uint8_t>(v >> shift));
  }
  void text(std::string_view t) {
    u32(static_cast<std::uint32_t>(t.size()));
    bytes.append(t);
    u8(0);
  }
  void signature(std::string_view t) {
    u8(static_cast<std::uint8_t>(t.size()));
    bytes.append(t);
    u8(0);
  }
  // A header field: STRUCT(BYTE code, VARIANT value).
  void field(std::uint8_t code, char type, std::string_view value) {
    align(8);
    u8(code);
    signature(std::string_view(&type, 1));
    if (type == 'g') {
      signature(value);
    } else {
      text(value);
    }
  }
};

std::string methodCall(std::uint32_t serial, std::string_view path, std::string_view interface,
                       std::string_view member, std::string_view destination,
                       std::string_view signature, std::string_view body) {
  Writer m;
  m.u8('l');  // little-endian
  m.u8(kMethodCall);
  m.u8(0);  // flags: a reply is expected; the bus may start the service
  m.u8(1);  // protocol version
  m.u32(static_cast<std::uint32_t>(body.size()));
  m.u32(serial);
  m.u32(0);  // the header fields' length, set below
  m.field(kFieldPath, 'o', path);
  m.field(kFieldInterface, 's', interface);
  m.field(kFieldMember, 's', member);
  m.field(kFieldDestination, 's', destination);
  if (!signature.empty()) m.field(kFieldSignature, 'g', signature);
  const auto fieldsLength = static_cast<std::uint32_t>(m.bytes.size() - 16);
  for (int i = 0; i < 4; ++i) m.bytes[12 + i] = static_cast<char>(fieldsLength >> (8 * i));
  m.align(8);
  m.bytes.append(body);
  return m.bytes;
}

// Reads what Writer writes, in either byte order; any read past the end
// makes it not ok() and returns zeros.
class Reader {
 public:
  Reader(std::string_view bytes, bool bigEndian, std::size_t pos = 0)
      : bytes_(bytes), big_(bigEndian), pos_(pos) {}
  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  void fail() { ok_ = false; }
  void align(std::size_t n) { pos_ = (pos_ + n - 1) / n * n; }
  std::uint8_t u8() {
    if (pos_ >= bytes_.size()) {
      fail();
      return 0;
    }
    return static_cast<std::uint8_t>(bytes_[pos_++]);
  }
  std::uint32_t u32() {
    align(4);
    if (pos_ + 4 > bytes_.size()) {
      fail();
      return 0;
    }
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const auto byte = static_cast<std::uint8_t>(bytes_[pos_ + (big_ ? i : 3 - i)]);
      v = (v << 8) | byte;
    }
    pos_ += 4;
    return v;
  }
  std::string_view text() { return take(u32()); }
  std::string_view signature() { return take(u8()); }

 private:
  // `n` bytes and the nul after them.
  std::string_view take(std::uint32_t n) {
    if (!ok_ || pos_ >= bytes_.size() || n >= bytes_.size() - pos_) {
      fail();
      return {};
    }
    const std::string_view t = bytes_.substr(pos_, n);
    pos_ += n + 1;
    return t;
  }
  std::string_view bytes_;
  bool big_;
  std::size_t pos_;
  bool ok_ = true;
};

struct Message {
  std::uint8_t type = 0;
  bool bigEndian = false;
  std::uint32_t replySerial = 0;
  std::uint32_t unixFds = 0;
  std::string errorName;
  std::string signature;
  std::string body;
};

// One connection to the bus, every wait ending by `deadline`. A failure
// leaves its reason in `why`.
class BusConnection {
 public:
  BusConnection(Fd fd, Clock::time_point deadline) : fd_(std::move(fd)), deadline_(deadline) {}

  std::string why;
  std::deque<Fd> fds;  // received and not yet taken, in the order sent

  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      if (!waitFor(POLLOUT)) return false;
      const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        why = "the system bus connection failed: " + errorText(errno);
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // One line of the authentication exchange, without its "\r\n".
  std::optional<std::string> readLine() {
    for (;;) {
      const std::size_t end = in_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = in_.substr(0, end);
        in_.erase(0, end + 2);
        return line;
      }
      if (in_.size() > 512) {
        why = "the system bus does not speak D-Bus";
        return std::nullopt;
      }
      if (!receive()) return std::nullopt;
    }
  }

  std::optional<Message> readMessage() {
    for (;;) {
      if (in_.size() >= 16) {
        const bool big = in_[0] == 'B';
        Reader fixed(in_, big, 4);
        const std::uint32_t bodyLength = fixed.u32();
        (void)fixed.u32();  // the sender's serial
        const std::uint32_t fieldsLength = fixed.u32();
        if ((in_[0] != 'l' && !big) || in_[3] != 1 || bodyLength > kLargestPart ||
            fieldsLength > kLargestPart) {
          why = "the system bus sent a message this program does not read";
          return std::nullopt;
        }
        const std::size_t fieldsEnd = 16 + fieldsLength;
        const std::size_t total = (fieldsEnd + 7) / 8 * 8 + bodyLength;
        if (in_.size() >= total) return takeMessage(big, fieldsEnd, total);
      }
      if (!receive()) return std::nullopt;
    }
  }

 private:
  bool waitFor(short events) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
      pollfd p{fd_.get(), events, 0};
      const int n = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
      if (n > 0) return true;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        why = "the system bus connection failed: " + errorText(errno);
      } else {
        why = "the system bus did not answer within " +
              std::to_string(LogindSleepHold::kBusWaitMs / 1000) + " s";
      }
      return false;
    }
  }

  bool receive() {
    if (!waitFor(POLLIN)) return false;
    char buffer[4096];
    iovec iov{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)];
    msghdr header{};
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_.get(), &header, MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return true;
      why = "the system bus connection failed: " + errorText(errno);
      return false;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received = -1;
        std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
        fds.emplace_back(received);
      }
    }
    if (n == 0) {
      why = "the system bus closed the connection";
      return false;
    }
    in_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  std::optional<Message> takeMessage(bool big, std::size_t fieldsEnd, std::size_t total) {
    Message m;
    m.type = static_cast<std::uint8_t>(in_[1]);
    m.bigEndian = big;
    Reader r(std::string_view(in_).substr(0, fieldsEnd), big, 16);
    while (r.ok() && r.pos() < fieldsEnd) {
      r.align(8);
      const std::uint8_t code = r.u8();
      const std::string_view type = r.signature();
      if (type == "u") {
        const std::uint32_t value = r.u32();
        if (code == kFieldReplySerial) m.replySerial = value;
        if (code == kFieldUnixFds) m.unixFds = value;
      } else if (type == "s" || type == "o") {
        const std::string_view value = r.text();
        if (code == kFieldErrorName) m.errorName = value;
      } else if (type == "g") {
        const std::string_view value = r.signature();
        if (code == kFieldSignature) m.signature = value;
      } else {
        r.fail();
      }
    }
    if (!r.ok()) {
      why = "the system bus sent a message this program does not read";
      return std::nullopt;
    }
    m.body = in_.substr((fieldsEnd + 7) / 8 * 8, total - (fieldsEnd + 7) / 8 * 8);
    in_.erase(0, total);
    return m;
  }

  Fd fd_;
  Clock::time_point deadline_;
  std::string in_;
};

Fd connectTo(const SocketName& socket, std::string& why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t offset = socket.abstract ? 1 : 0;  // the abstract name follows a nul
  if (socket.name.empty() || socket.name.size() + offset >= sizeof address.sun_path) {
    why = "no system bus at \"" + oneLine(socket.name) + "\": not a socket name";
    return Fd();
  }
  std::memcpy(address.sun_path + offset, socket.name.data(), socket.name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                             socket.name.size() + (socket.abstract ? 0 : 1));
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0 ||
      (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
       errno != EINPROGRESS)) {
    why = "no system bus at " + std::string(socket.abstract ? "@" : "") + oneLine(socket.name) +
          ": " + errorText(errno);
    return Fd();
  }
  return fd;
}

}  // namespace

std::string LogindSleepHold::SystemBusAddress() {
  const char* value = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return value != nullptr && *value != '\0' ? std::string(value) : std::string(kDefaultBusAddress);
}

std::string LogindSleepHold::Take() {
  if (lock_ >= 0) return {};
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kBusWaitMs);
  const std::optional<SocketName> socket = unixSocketOf(address_);
  if (!socket) return "no system bus: \"" + oneLine(address_) + "\" names no Unix socket";
  std::string why;
  Fd fd = connectTo(*socket, why);
  if (fd.get() < 0) return why;
  BusConnection bus(std::move(fd), deadline);

  // SASL EXTERNAL: the bus checks the user ID, given as the hex codes of its
  // decimal digits, against the one the kernel reports for the socket.
  std::string command("\0AUTH EXTERNAL ", 15);
  for (const char digit : std::to_string(::geteuid())) {
    command.push_back("0123456789abcdef"[(digit >> 4) & 0xF]);
    command.push_back("0123456789abcdef"[digit & 0xF]);
  }
  command += "\r\n";
  if (!bus.send(command)) return bus.why;
  std::optional<std::string> line = bus.readLine();
  if (!line) return bus.why;
  if (!line->starts_with("OK ")) return "the system bus refused this user: " + oneLine(*line);
  // The lock comes as a file descriptor: without it there is nothing to hold.
  if (!bus.send("NEGOTIATE_UNIX_FD\r\n")) return bus.why;
  line = bus.readLine();
  if (!line) return bus.why;
  if (*line != "AGREE_UNIX_FD")
    return "the system bus does not pass file descriptors: " + oneLine(*line);

  Writer arguments;
  arguments.text("sleep:idle");
  arguments.text("qvflash");
  arguments.text("A camera's firmware is being written");
  arguments.text("block");
  // Hello must be the first message; the call may follow it at once.
  const std::string messages =
      "BEGIN\r\n" +
      methodCall(kHelloSerial, "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello",
                 "org.freedesktop.DBus", "", "") +
      methodCall(kInhibitSerial, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                 "Inhibit", "org.freedesktop.login1", "ssss", arguments.bytes);
  if (!bus.send(messages)) return bus.why;

  for (;;) {
    const std::optional<Message> m = bus.readMessage();
    if (!m) return bus.why;
    // The descriptors that came with this message (the ones of any other
    // are closed with it).
    std::deque<Fd> passed;
    for (std::uint32_t i = 0; i < m->unixFds && !bus.fds.empty(); ++i) {
      passed.push_back(std::move(bus.fds.front()));
      bus.fds.pop_front();
    }
    const bool ours = m->replySerial == kHelloSerial || m->replySerial == kInhibitSerial;
    if (m->type == kError && ours) {
      std::string text = m->errorName;
      if (m->signature.starts_with("s")) {
        Reader r(m->body, m->bigEndian);
        const std::string_view detail = r.text();
        if (r.ok() && !detail.empty()) text += ": " + std::string(detail);
      }
      return "no inhibitor lock from logind: " + oneLine(text);
    }
    if (m->type != kMethodReturn || m->replySerial != kInhibitSerial) continue;
    Reader r(m->body, m->bigEndian);
    const std::uint32_t index = r.u32();
    if (m->signature != "h" || !r.ok() || index >= passed.size())
      return "logind's answer carried no lock";
    lock_ = passed[index].release();
    return {};
  }
}

void LogindSleepHold::Release() {
  if (lock_ >= 0) ::close(lock_);
  lock_ = -1;
}

}  // namespace qv::linux_host
