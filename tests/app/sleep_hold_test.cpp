// Idle sleep held off through logind while a camera is written, against a
// fake system bus that hands out a pipe's write end as the lock: whole runs
// on the simulator, with the lock's state seen at every request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/linux/linux_write_guard.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

// A D-Bus reply as a bus sends it (little-endian), marshalled by hand.
std::string Wire(char type, std::uint32_t replySerial, const std::string& signature,
                 const std::string& body, const std::string& errorName = "",
                 std::uint32_t fds = 0) {
  std::string m{'l', type, 0, 1};
  auto pad = [&](std::size_t n) { m.resize((m.size() + n - 1) / n * n, '\0'); };
  auto u32 = [&](std::size_t v) {
    pad(4);
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<char>(v >> (8 * i)));
  };
  auto field = [&](char code, char kind) {
    pad(8);
    m += {code, 1, kind, 0};
  };
  u32(body.size());
  u32(1000 + replySerial);
  u32(0);
  field(5, 'u');
  u32(replySerial);
  if (!errorName.empty()) {
    field(4, 's');
    u32(errorName.size());
    m += errorName + '\0';
  }
  field(8, 'g');
  m += static_cast<char>(signature.size()) + signature + '\0';
  if (fds != 0) {
    field(9, 'u');
    u32(fds);
  }
  const auto fieldsLength = static_cast<std::uint32_t>(m.size() - 16);
  std::memcpy(&m[12], &fieldsLength, 4);
  pad(8);
  return m + body;
}
// A short string argument: its length, the text and a nul.
std::string Text(const std::string& t) {
  return std::string{static_cast<char>(t.size()), 0, 0, 0} + t + '\0';
}

enum class Bus { Grants, Refuses, Rejects, Silent, Absent };

class FakeBus {
 public:
  explicit FakeBus(Bus mode) : mode_(mode), address("unix:path=" + dir.file("bus")) {
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
    for (const int r : locks_) ::close(r);
  }
  // Whether a lock handed out is still open in the tool.
  bool LockHeld() {
    const std::lock_guard<std::mutex> hold(mutex_);
    for (const int r : locks_) {
      pollfd p{r, POLLIN, 0};
      if (::poll(&p, 1, 0) == 0) return true;  // no hang-up: a write end is open
    }
    return false;
  }
  std::size_t LocksGiven() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return locks_.size();
  }
  std::string Received() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return received_;
  }

 private:
  void serve() {
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
        const std::lock_guard<std::mutex> hold(mutex_);
        received_.append(b, static_cast<std::size_t>(n));
        if (got.find("\r\n") == got.size() - 2 && got.find("NEGOTIATE") == std::string::npos) {
          answer(c, mode_ == Bus::Rejects ? "REJECTED EXTERNAL\r\n" : "OK 0123456789abcdef\r\n");
        } else if (got.ends_with("NEGOTIATE_UNIX_FD\r\n")) {
          answer(c, "AGREE_UNIX_FD\r\n");
        } else if (got.ends_with(std::string("block") + '\0') && mode_ != Bus::Silent) {
          answer(c, Wire(2, 1, "s", Text(":1.7")));  // Hello's reply comes first
          if (mode_ == Bus::Refuses) {
            answer(c, Wire(3, 2, "s", Text("Permission denied"),
                           "org.freedesktop.DBus.Error.AccessDenied"));
            continue;
          }
          int ends[2];
          ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
          locks_.push_back(ends[0]);
          answer(c, Wire(2, 2, "h", std::string(4, '\0'), "", 1), ends[1]);
          ::close(ends[1]);
        }
      }
      ::close(c);
    }
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
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ::sendmsg(c, &h, MSG_NOSIGNAL);
  }

  Bus mode_;
  int listener_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<int> locks_;  // the read ends of the pipes handed out
  std::string received_;

 public:
  TempDir dir;
  const std::string address;
};

// Per request of the run: '1' while a lock is held, '0' otherwise.
class LockAtRequests : public sim::RequestObserver {
 public:
  explicit LockAtRequests(FakeBus& bus) : bus_(bus) {}
  std::string held;
  void requestStarted() override { held.push_back(bus_.LockHeld() ? '1' : '0'); }
  void requestFinished() override {}

 private:
  FakeBus& bus_;
};

TEST(SleepHold, HeldForEachWriteAndGoingOnWithoutIt) {
  struct Row {
    const char* name;
    Bus bus;
    std::vector<std::wstring> args;
    bool checksumFault;  // the update fails
    std::size_t writes;  // cameras written, each under a lock of its own
    std::string why;     // of the verbose line, when there is one
  };
  for (const Row& row :
       std::vector<Row>{{"pass", Bus::Grants, {L"-dbg"}, false, 1, ""},
                        {"fail", Bus::Grants, {L"-dbg"}, true, 1, ""},
                        {"two cameras", Bus::Grants, {L"--all", L"--verify"}, false, 2, ""},
                        {"refused",
                         Bus::Refuses,
                         {L"-dbg"},
                         false,
                         0,
                         "(no inhibitor lock from logind: org.freedesktop.DBus.Error.AccessDenied: "
                         "Permission denied)"},
                        {"rejected",
                         Bus::Rejects,
                         {L"-dbg"},
                         false,
                         0,
                         "(the system bus refused this user: REJECTED EXTERNAL)"},
                        {"silent",
                         Bus::Silent,
                         {L"-dbg"},
                         false,
                         0,
                         "(the system bus did not answer within 2 s)"},
                        {"absent", Bus::Absent, {L"-dbg"}, false, 0, "(no system bus at /"},
                        {"absent, plain", Bus::Absent, {}, false, 0, ""}}) {
    FakeBus bus(row.bus);
    linux_host::LinuxWriteGuard guard(bus.address);
    setWriteGuard(&guard);
    LockAtRequests locks(bus);
    SimRun run;
    run.observer = &locks;
    json first = Camera(0);
    if (row.checksumFault) first["faults"] = json::array({json{{"checksum_xor", 1}}});
    const Outcome o = run.Run(
        json{{"cameras", {first, Camera(1)}}, {"image_devices", {ImageDevice(0), ImageDevice(1)}}},
        row.args);
    setWriteGuard(nullptr);
    EXPECT_EQ(o.exitCode, row.checksumFault ? 1 : 0) << row.name << o.err;
    // The lock is gone at the end of the write phase; the guard lives on.
    EXPECT_FALSE(bus.LockHeld()) << row.name;
    EXPECT_EQ(bus.LocksGiven(), row.writes) << row.name;
    // One window per write, from before download mode is entered until
    // after it is left, and not before the run's first request.
    std::size_t windows = 0;
    for (std::size_t i = 0; i < locks.held.size(); ++i) {
      if (locks.held[i] == '1' && (i == 0 || locks.held[i - 1] == '0')) ++windows;
    }
    EXPECT_EQ(windows, row.writes) << row.name << " " << locks.held;
    std::size_t request = 0;
    for (const std::string& line : o.trace) {
      if (line.empty() || line[0] < '0' || line[0] > '9') continue;
      if (line.find(" SET 9 ") != std::string::npos && request < locks.held.size()) {
        EXPECT_EQ(locks.held[request], row.writes > 0 ? '1' : '0') << row.name << line;
      }
      ++request;
    }
    EXPECT_EQ(request, locks.held.size());
    if (row.bus == Bus::Grants) {
      const std::string received = bus.Received();
      EXPECT_EQ(received.rfind(std::string("\0AUTH EXTERNAL ", 15), 0), 0u);
      for (const std::string text :
           {"NEGOTIATE_UNIX_FD\r\nBEGIN\r\n", "Hello", "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "Inhibit", "sleep:idle", "qvflash", "block"})
        EXPECT_NE(received.find(text), std::string::npos) << text;
    }
    if (row.why.empty()) {
      EXPECT_EQ(o.err.find("idle sleep"), std::string::npos) << row.name << o.err;
    } else {
      EXPECT_NE(
          o.err.find("qvflash: idle sleep is not held off while the camera is written " + row.why),
          std::string::npos)
          << row.name << o.err;
    }
    if (row.args.empty()) {
      EXPECT_EQ(o.out, "Checking, Please wiat...\nPass");
      EXPECT_EQ(o.err, "");
    }
  }
}

}  // namespace
}  // namespace qv::testing
