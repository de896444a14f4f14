// Idle sleep held off through logind while a camera is written, against a
// fake system bus that hands out a pipe's write end as the lock: whole runs
// on the simulator, with the lock's state seen at every request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/linux/linux_write_guard.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

// A D-Bus reply as a bus sends it (little-endian), marshalled by hand: a
// Hello's, an error, or Inhibit's with one descriptor.
std::string Wire(char type, std::uint32_t replySerial, const std::string& signature,
                 const std::string& body, const std::string& errorName = "") {
  std::string m{'l', type, 0, 1};
  auto pad = [&](std::size_t n) { m.resize((m.size() + n - 1) / n * n, '\0'); };
  auto u32 = [&](std::uint32_t v) {
    pad(4);
    m.append(reinterpret_cast<const char*>(&v), 4);  // the host is little-endian
  };
  auto field = [&](char code, char kind) {
    pad(8);
    m += {code, 1, kind, 0};
  };
  u32(static_cast<std::uint32_t>(body.size()));
  u32(1000 + replySerial);
  u32(0);
  field(5, 'u');
  u32(replySerial);
  field(8, 'g');
  m += static_cast<char>(signature.size()) + signature + '\0';
  if (signature == "h") {
    field(9, 'u');
    u32(1);
  }
  if (!errorName.empty()) {
    field(4, 's');
    u32(static_cast<std::uint32_t>(errorName.size()));
    m += errorName + '\0';
  }
  const auto fieldsLength = static_cast<std::uint32_t>(m.size() - 16);
  std::memcpy(&m[12], &fieldsLength, 4);
  pad(8);
  return m + body;
}
std::string Text(const std::string& t) {
  return std::string{static_cast<char>(t.size()), 0, 0, 0} + t + '\0';
}

enum class Bus { Grants, Refuses, Rejects, Silent, Absent };

// A system bus in this process: it answers the authentication of this user
// and a call that asks logind's Inhibit for the tool's lock, and hands out
// the write end of a new pipe as the lock.
class FakeBus {
 public:
  explicit FakeBus(Bus mode) : mode_(mode) {
    if (mode == Bus::Absent) return;
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, dir.file("bus").c_str(), sizeof a.sun_path - 1);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeBus() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    for (const int r : locks) ::close(r);
  }
  TempDir dir;
  const std::string address = "unix:path=" + dir.file("bus");
  std::mutex mutex;
  std::vector<int> locks;  // the read ends of the pipes handed out

  // Whether a lock handed out is open in the tool (no hang-up on its pipe).
  bool LockHeld() {
    const std::lock_guard<std::mutex> hold(mutex);
    pollfd p{-1, POLLIN, 0};
    return std::any_of(locks.begin(), locks.end(),
                       [&](int r) { return p.fd = r, ::poll(&p, 1, 0) == 0; });
  }

 private:
  void serve() {
    std::string user;
    // The user ID's decimal digits in hex ('0' is 0x30).
    for (const char digit : std::to_string(::geteuid())) user += std::string{'3', digit};
    const std::string auth = std::string("\0AUTH EXTERNAL ", 15) + user + "\r\n";
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      std::string got;
      for (char b[4096]; !stop_;) {
        pollfd q{c, POLLIN, 0};
        if (::poll(&q, 1, 20) <= 0) continue;
        const ssize_t n = ::read(c, b, sizeof b);
        if (n <= 0) break;
        got.append(b, static_cast<std::size_t>(n));
        if (got.ends_with(" EXTERNAL " + user + "\r\n")) {
          answer(c, got == auth && mode_ != Bus::Rejects ? "OK 0123456789abcdef\r\n"
                                                         : "REJECTED EXTERNAL\r\n");
        } else if (got.ends_with("NEGOTIATE_UNIX_FD\r\n")) {
          answer(c, "AGREE_UNIX_FD\r\n");
        } else if (got.ends_with(std::string("block") + '\0') && asksTheLock(got)) {
          answer(c, Wire(2, 1, "s", Text(":1.7")));  // Hello's reply comes first
          if (mode_ == Bus::Refuses) {
            answer(c, Wire(3, 2, "s", Text("Permission denied"),
                           "org.freedesktop.DBus.Error.AccessDenied"));
            continue;
          }
          int ends[2];
          ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
          const std::lock_guard<std::mutex> hold(mutex);
          locks.push_back(ends[0]);
          answer(c, Wire(2, 2, "h", std::string(4, '\0')), ends[1]);
          ::close(ends[1]);
        }
      }
      ::close(c);
    }
  }
  bool asksTheLock(const std::string& got) const {
    if (mode_ == Bus::Silent) return false;
    for (const char* text :
         {"NEGOTIATE_UNIX_FD\r\nBEGIN\r\n", "Hello", "/org/freedesktop/login1",
          "org.freedesktop.login1.Manager", "Inhibit", "ssss", "sleep:idle", "qvflash"})
      if (got.find(text) == std::string::npos) return false;
    return true;
  }
  static void answer(int c, const std::string& bytes, int fd = -1) {
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
    msghdr h{};
    h.msg_iov = &iov;
    h.msg_iovlen = 1;
    if (fd >= 0) {
      h.msg_control = control;
      h.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&h);
      c->cmsg_len = CMSG_LEN(sizeof(int));
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ::sendmsg(c, &h, MSG_NOSIGNAL);
  }

  Bus mode_;
  int listener_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// Per request of the run: '1' while a lock is held, '0' otherwise.
struct LockAtRequests : sim::RequestObserver {
  explicit LockAtRequests(FakeBus& b) : bus(b) {}
  FakeBus& bus;
  std::string held;
  void requestStarted() override { held.push_back(bus.LockHeld() ? '1' : '0'); }
  void requestFinished() override {}
};

TEST(SleepHold, HeldForEachWriteAndGoingOnWithoutIt) {
  struct Row {
    Bus bus;
    std::vector<std::wstring> args;
    bool fails;          // a checksum fault fails the update
    std::size_t writes;  // cameras written, each under a lock of its own
    std::string why;     // the end of the verbose line's reason, when there is one
  };
  for (const Row& row : std::vector<Row>{
           {Bus::Grants, {L"-dbg"}, false, 1, ""},
           {Bus::Grants, {L"-dbg"}, true, 1, ""},
           {Bus::Grants, {L"--all", L"--verify"}, false, 2, ""},
           {Bus::Refuses, {L"-dbg"}, false, 0, "AccessDenied: Permission denied)"},
           {Bus::Rejects, {L"-dbg"}, false, 0, "refused this user: REJECTED EXTERNAL)"},
           {Bus::Silent, {L"-dbg"}, false, 0, "(the system bus did not answer within 2 s)"},
           {Bus::Absent, {L"-dbg"}, false, 0, "(no system bus at /"},
           {Bus::Absent, {}, false, 0, ""}}) {
    const std::string name = std::to_string(static_cast<int>(row.bus)) + " " +
                             std::to_string(row.args.size()) + (row.fails ? " fails" : "");
    FakeBus bus(row.bus);
    linux_host::LinuxWriteGuard guard(bus.address);
    setWriteGuard(&guard);
    LockAtRequests locks(bus);
    SimRun run;
    run.observer = &locks;
    json first = Camera(0);
    if (row.fails) first["faults"] = json::array({json{{"checksum_xor", 1}}});
    const Outcome o = run.Run(
        json{{"cameras", {first, Camera(1)}}, {"image_devices", {ImageDevice(0), ImageDevice(1)}}},
        row.args);
    setWriteGuard(nullptr);
    EXPECT_EQ(o.exitCode, row.fails ? 1 : 0) << name << o.err;
    // Every lock is closed at the end of its write phase (the guard lives on).
    EXPECT_FALSE(bus.LockHeld()) << name;
    EXPECT_EQ(bus.locks.size(), row.writes) << name;
    // One window of held requests per write, not from the run's first
    // request, that holds the requests entering and leaving download mode.
    std::size_t windows = 0;
    std::size_t i = 0;
    for (const std::string& line : o.trace) {
      if (line.empty() || line[0] < '0' || line[0] > '9' || i >= locks.held.size()) continue;
      if (locks.held[i] == '1' && (i == 0 || locks.held[i - 1] == '0')) ++windows;
      if (line.find(" SET 9 ") != std::string::npos) {
        EXPECT_EQ(locks.held[i], row.writes > 0 ? '1' : '0') << name << line;
      }
      ++i;
    }
    EXPECT_EQ(windows, row.writes) << name << " " << locks.held;
    EXPECT_EQ(i, locks.held.size()) << name;
    const std::size_t line =
        o.err.find("qvflash: idle sleep is not held off while the camera is written (");
    EXPECT_EQ(line == std::string::npos, row.why.empty()) << name << o.err;
    if (!row.why.empty()) {
      EXPECT_NE(o.err.find(row.why, line), std::string::npos) << name << o.err;
    }
    if (row.args.empty()) {
      EXPECT_EQ(o.out + o.err, "Checking, Please wiat...\nPass");
    }
  }
}

}  // namespace
}  // namespace qv::testing
