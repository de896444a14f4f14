// The built qvflash as a separate process: the single-instance guard held
// by another process, the simulator switched on by QVFLASH_SIM, scene
// errors, and a whole update and dump through the entry point.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/update_job.h"
#include "flash_expectations.h"
#include "platform/linux/linux_instance_guard.h"
#include "platform/write_phase.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

// The tool's runs ask a system bus that is not there (the same on every
// machine): a verbose update says that idle sleep is not held off.
const std::string kNoBus = "/nonexistent/qvflash-test-bus";
[[maybe_unused]] const bool kNoBusSet =
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + kNoBus).c_str(), 1) == 0;
const std::string kNoBusLine =
    SleepNotHeldLine("no system bus at " + kNoBus + ": No such file or directory");

struct ChildResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Backups and the history of a run go into its own folder, never the
// home of whoever runs the tests.
void KeepStateIn(const std::string& folder) {
  const std::string state = std::filesystem::absolute(folder).string() + "/state";
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  ::setenv("HOME", state.c_str(), 1);
}

// Runs `program` in `folder` with QVFLASH_SIM set to `scene` (or unset when
// empty). A run that has not ended after a minute is killed and reported
// as exit code -2: the tool must never hang.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& folder, const std::string& scene) {
  const std::string outPath = folder + "/.stdout";
  const std::string errPath = folder + "/.stderr";
  const pid_t child = ::fork();
  if (child == 0) {
    KeepStateIn(folder);
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (scene.empty()) {
      ::unsetenv("QVFLASH_SIM");
    } else {
      ::setenv("QVFLASH_SIM", scene.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ChildResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      result.exitCode = -2;
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = Slurp(outPath);
  result.err = Slurp(errPath);
  std::filesystem::remove(outPath);
  std::filesystem::remove(errPath);
  return result;
}

// Runs `program` in `folder` as RunChild does, but with standard error on a
// pseudo-terminal (raw: its bytes arrive unchanged) and standard output in a
// file. What the program wrote to the terminal comes back as `err`.
ChildResult RunChildOnTerminal(const std::string& program, const std::vector<std::string>& args,
                               const std::string& folder, const std::string& scene,
                               unsigned short columns = 80) {
  ChildResult result;
  int master = -1;
  int slave = -1;
  termios raw{};
  ::cfmakeraw(&raw);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  if (::openpty(&master, &slave, nullptr, &raw, &size) != 0) return result;
  const std::string outPath = folder + "/.stdout";
  const pid_t child = ::fork();
  if (child == 0) {
    KeepStateIn(folder);
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(slave, 2);
    ::close(master);
    ::close(slave);
    ::setenv("QVFLASH_SIM", scene.c_str(), 1);
    // A terminal that can redraw a line, whatever the tests were started from.
    ::setenv("TERM", "xterm", 1);
    ::unsetenv("QVFLASH_PROGRESS");
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(slave);
  // The terminal is read while the program runs: a full terminal buffer
  // would otherwise stop it.
  int status = 0;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    pollfd fd{master, POLLIN, 0};
    if (::poll(&fd, 1, 20) > 0) {
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) {
        result.err.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (ended) break;  // drained: the terminal reports its end once nobody holds it
    } else if (ended) {
      break;
    }
    if (!ended && ::waitpid(child, &status, WNOHANG) == child) ended = true;
    if (!ended && std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      ::close(master);
      result.exitCode = -2;
      return result;
    }
  }
  ::close(master);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = Slurp(outPath);
  std::filesystem::remove(outPath);
  return result;
}

// A copy of the tool in its own folder: "tmp" and "Dump.bin" land there.
class ToolFolder {
 public:
  ToolFolder() {
    std::filesystem::copy_file(QVFLASH_BINARY, dir.file("qvflash"));
    std::filesystem::permissions(dir.file("qvflash"), std::filesystem::perms::owner_all);
  }
  ChildResult Run(const std::vector<std::string>& args, const std::string& scene = "") {
    return RunChild(dir.file("qvflash"), args, dir.path(), scene);
  }
  ChildResult RunOnTerminal(const std::vector<std::string>& args, const std::string& scene,
                            unsigned short columns = 80) {
    return RunChildOnTerminal(dir.file("qvflash"), args, dir.path(), scene, columns);
  }
  TempDir dir;
};

json DemoScene() {
  json camera = Camera(0);
  camera["flash_file"] = "flash.bin";
  return json{{"trace", "trace.txt"}, {"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}};
}

// Takes the system-wide guard as another copy of the tool would. Another
// copy may be running on this machine right now; wait for it rather than
// take its place.
IInstanceGuard::Result TakeGuard(linux_host::LinuxInstanceGuard& guard) {
  IInstanceGuard::Result held = IInstanceGuard::Result::Error;
  for (int attempt = 0; attempt < 100; ++attempt) {
    held = guard.Create(kSingleInstanceGuardName);
    if (held == IInstanceGuard::Result::Created) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return held;
}

TEST(Process, SecondInstanceIsRefusedWhileAnotherHoldsTheGuard) {
  linux_host::LinuxInstanceGuard guard;
  ASSERT_EQ(TakeGuard(guard), IInstanceGuard::Result::Created);

  ToolFolder tool;
  std::ofstream(tool.dir.file("scene.json")) << DemoScene().dump();
  const std::vector<std::uint8_t> contents(65536, 0x3C);
  WriteBytes(tool.dir.file("flash.bin"), contents);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"-dbg"}, {"-dump"}}) {
    const ChildResult r = tool.Run(args, "scene.json");
    EXPECT_EQ(r.out, "There is already an instance of this application running.Fail");
    EXPECT_EQ(r.exitCode, 1);
  }
  // Nothing reached the camera.
  EXPECT_EQ(ReadBytes(tool.dir.file("flash.bin")), contents);
  EXPECT_EQ(Slurp(tool.dir.file("trace.txt")).find("0 "), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(tool.dir.file("Dump.bin")));
  EXPECT_FALSE(std::filesystem::exists(tool.dir.file("tmp")));
}

TEST(Process, WithoutTheSimulatorTheSystemHasNoCamera) {
  ToolFolder tool;
  ChildResult r = tool.Run({});
  EXPECT_EQ(r.out, "Fail");
  EXPECT_EQ(r.exitCode, 1);
  r = tool.Run({"-dbg"});
  EXPECT_EQ(r.out, "No Quorvel camera found\nFail");
  EXPECT_EQ(r.exitCode, 1);
  // Standard error says only why (with what the system lacks, where the
  // camera stack can tell), and what to check.
  EXPECT_EQ(r.err.rfind("qvflash: no camera was found", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(": check the cable"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

TEST(Process, SceneThatCannotBeUsedEndsBeforeAnyCamera) {
  ToolFolder tool;
  json unknownKey = DemoScene();
  unknownKey["cameras"][0]["flash_fiel"] = "x.bin";
  std::ofstream(tool.dir.file("typo.json")) << unknownKey.dump();
  std::ofstream(tool.dir.file("broken.json")) << "{\"cameras\": [";
  for (const std::string scene : {"missing.json", "typo.json", "broken.json"}) {
    const ChildResult r = tool.Run({"-dbg"}, scene);
    EXPECT_EQ(r.out, "Fail") << scene;
    EXPECT_EQ(r.exitCode, 1);
    // One line, naming the file.
    ASSERT_FALSE(r.err.empty()) << scene;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(scene), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(tool.dir.file("trace.txt")));
  EXPECT_FALSE(std::filesystem::exists(tool.dir.file("tmp")));
}

TEST(Process, UpdateThenDumpThroughTheEntryPoint) {
  ToolFolder tool;
  std::ofstream(tool.dir.file("scene.json")) << DemoScene().dump();
  std::vector<std::uint8_t> old(65536);
  for (std::size_t i = 0; i < old.size(); ++i) old[i] = static_cast<std::uint8_t>(i * 7);
  WriteBytes(tool.dir.file("flash.bin"), old);

  ChildResult r = tool.Run({"-dbg"}, "scene.json");
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string head = "Checking, Please wiat...\n--> Device 0 VID/PID (0x04F2/0xB5BD)\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  const std::string tail = "Update Success\nPass";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  const std::vector<std::uint8_t> updated = ReadBytes(tool.dir.file("flash.bin"));
  ASSERT_EQ(updated.size(), 65536u);
  const auto image = EmbeddedImage106();
  EXPECT_TRUE(std::equal(image.begin() + 0x6000, image.end(), updated.begin() + 0x6000));
  EXPECT_EQ(ReadBytes(tool.dir.file("tmp")), std::vector<std::uint8_t>(image.begin(), image.end()));
  std::string trace = Slurp(tool.dir.file("trace.txt"));
  EXPECT_EQ(trace.rfind("\nEND ") + 1, trace.rfind('\n', trace.size() - 2) + 1);

  r = tool.Run({"-dump"}, "scene.json");
  EXPECT_EQ(r.out, "Checking, Please wiat...\nDump FW ok.\nPass");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(ReadBytes(tool.dir.file("Dump.bin")), updated);
}

// File names given to options are the bytes typed, UTF-8 or not; the report
// names the file in UTF-8 (a byte that is not UTF-8 as U+FFFD).
TEST(Process, DumpAndReportLandUnderTheNamesTyped) {
  struct Row {
    std::string name;
    std::string reported;
  };
  for (const Row& row : std::vector<Row>{{"dump \xC3\xBC.bin", "dump \xC3\xBC.bin"},
                                         {"dump \xFF.bin", "dump \xEF\xBF\xBD.bin"}}) {
    ToolFolder tool;
    std::ofstream(tool.dir.file("scene.json")) << DemoScene().dump();
    const std::vector<std::uint8_t> contents(65536, 0x5A);
    WriteBytes(tool.dir.file("flash.bin"), contents);
    const ChildResult r =
        tool.Run({"--dump", row.name, "--json", "report " + row.name + ".json"}, "scene.json");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ReadBytes(tool.dir.file(row.name)), contents);
    const json report = json::parse(Slurp(tool.dir.file("report " + row.name + ".json")));
    EXPECT_EQ(report["options"]["dump_file"], row.reported);
  }
}

TEST(Process, HelpVersionAndRefusalsNeedNoCameraNorReadableScene) {
  ToolFolder tool;
  std::ofstream(tool.dir.file("scene.json")) << DemoScene().dump();
  std::ofstream(tool.dir.file("broken.json")) << "{\"cameras\": [";
  const std::vector<std::uint8_t> contents(65536, 0x5A);
  WriteBytes(tool.dir.file("flash.bin"), contents);
  for (const std::string scene : {"", "scene.json", "broken.json", "missing.json"}) {
    for (const std::string arg : {"--help", "-h", "-?", "/?"}) {
      const ChildResult r = tool.Run({arg}, scene);
      EXPECT_EQ(r.out.rfind("Usage: qvflash ", 0), 0u) << arg << " " << scene;
      EXPECT_NE(r.out.find("QVFLASH_SIM"), std::string::npos);
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(r.err, "");
    }
    const ChildResult r = tool.Run({"--version"}, scene);
    EXPECT_EQ(r.out.rfind(std::string("qvflash ") + QVFLASH_VERSION +
                              "\nfirmware for chip family 102: 32786 bytes, checksum 0x",
                          0),
              0u)
        << scene;
    EXPECT_NE(r.out.find("\nfirmware for chip family 108: "), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, 0);
    const ChildResult refused = tool.Run({"--dump"}, scene);  // one refusal stands for all
    EXPECT_EQ(refused.exitCode, 2) << scene;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err.rfind("qvflash: ", 0), 0u) << refused.err;
    EXPECT_NE(refused.err.find("\nUsage: qvflash "), std::string::npos);
  }
  // The scene was never opened: no trace, the flash as it was.
  EXPECT_FALSE(std::filesystem::exists(tool.dir.file("trace.txt")));
  EXPECT_EQ(ReadBytes(tool.dir.file("flash.bin")), contents);
  EXPECT_FALSE(std::filesystem::exists(tool.dir.file("tmp")));
}

TEST(Process, HelpIsAnsweredWhileAnotherCopyHoldsTheGuard) {
  linux_host::LinuxInstanceGuard guard;
  ASSERT_EQ(TakeGuard(guard), IInstanceGuard::Result::Created);
  ToolFolder tool;
  const ChildResult r = tool.Run({"--help"});
  EXPECT_EQ(r.out.rfind("Usage: qvflash ", 0), 0u);
  EXPECT_EQ(r.exitCode, 0);
}

// The built tool with standard error on a pseudo-terminal and redirected:
// the bar shows only on the terminal and only for an update, and standard
// output is the same bytes either way.
TEST(Process, ProgressBarOnlyOnATerminal) {
  struct Row {
    std::vector<std::string> args;
    bool bar;
  };
  for (const Row& row : std::vector<Row>{{{}, true},
                                         {{"-dbg"}, true},
                                         {{"-dump"}, false},
                                         {{"--help"}, false},
                                         {{"--version"}, false}}) {
    const std::string name = row.args.empty() ? "(none)" : row.args[0];
    ToolFolder tool;
    std::ofstream(tool.dir.file("scene.json")) << DemoScene().dump();
    std::vector<std::uint8_t> old(65536, 0x3C);
    WriteBytes(tool.dir.file("flash.bin"), old);
    const ChildResult shown = tool.RunOnTerminal(row.args, "scene.json");
    const std::vector<std::uint8_t> afterShown = ReadBytes(tool.dir.file("flash.bin"));
    WriteBytes(tool.dir.file("flash.bin"), old);
    const ChildResult redirected = tool.Run(row.args, "scene.json");

    EXPECT_EQ(shown.exitCode, 0) << name << shown.out;
    EXPECT_EQ(redirected.exitCode, 0) << name;
    EXPECT_EQ(shown.out, redirected.out) << name;
    // Only a verbose update says that the machine may sleep.
    EXPECT_EQ(redirected.err, row.args == std::vector<std::string>{"-dbg"} ? kNoBusLine : "")
        << name;
    EXPECT_EQ(afterShown, ReadBytes(tool.dir.file("flash.bin"))) << name;
    if (!row.bar) {
      EXPECT_EQ(shown.err, "") << name;
      continue;
    }
    EXPECT_EQ(shown.err.rfind("\r[", 0), 0u) << name;
    EXPECT_NE(shown.err.find("] 100% finished"), std::string::npos) << name;
    EXPECT_EQ(shown.err.find("failed"), std::string::npos) << name;
    ASSERT_FALSE(shown.err.empty());
    EXPECT_EQ(shown.err.back(), '\n') << name;
  }
}

// A failed update on a real terminal of 30 columns (the width the tool asks
// the terminal for): the bar ends "failed", never "finished", and no line of
// it is as wide as the terminal (so nothing wraps); the reason follows on a
// line of its own.
TEST(Process, FailedUpdateBarOnANarrowTerminal) {
  const unsigned short columns = 30;
  ToolFolder tool;
  json scene = DemoScene();
  scene["cameras"][0]["faults"] = json::array({json{{"checksum_xor", 1}}});
  std::ofstream(tool.dir.file("scene.json")) << scene.dump();
  const ChildResult r = tool.RunOnTerminal({}, "scene.json", columns);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Checking, Please wiat...\nFail");
  EXPECT_EQ(r.err.find("finished"), std::string::npos) << r.err;
  const std::size_t failed = r.err.rfind("% failed");
  ASSERT_NE(failed, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("\nqvflash: the camera's checksum differs", failed),
            r.err.find('\n', failed))
      << r.err;
  // Every piece of text between carriage returns and line feeds fits.
  std::size_t start = 0;
  for (std::size_t i = 0; i <= r.err.size(); ++i) {
    if (i == r.err.size() || r.err[i] == '\r' || r.err[i] == '\n') {
      const std::string piece = r.err.substr(start, i - start);
      // The reason is text the terminal may wrap; the bar must not.
      if (piece.find("qvflash:") == std::string::npos) {
        EXPECT_LT(piece.size(), columns) << piece;
      }
      start = i + 1;
    }
  }
}

// The tool as a person or a script runs it while the camera is written.
class SteeredRun {
 public:
  // Standard output and error go to files, or to pipes the test holds.
  SteeredRun(ToolFolder& tool, const std::vector<std::string>& args, bool pipes)
      : folder_(tool.dir.path()) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipes) {
      EXPECT_EQ(::pipe(out), 0);
      EXPECT_EQ(::pipe(err), 0);
    }
    const std::string program = tool.dir.file("qvflash");
    pid_ = ::fork();
    if (pid_ == 0) {
      KeepStateIn(folder_);
      if (::chdir(folder_.c_str()) != 0) ::_exit(126);
      if (pipes) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
      } else {
        ::dup2(::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        ::dup2(::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      }
      ::setenv("QVFLASH_SIM", "scene.json", 1);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    if (pipes) {
      ::close(out[1]);
      ::close(err[1]);
      out_ = out[0];
      err_ = err[0];
    }
  }
  ~SteeredRun() {
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
    if (pid_ > 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Waits (at most 30 s) until the trace holds a line starting with `prefix`.
  bool WaitForTrace(const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      std::istringstream trace(Slurp(folder_ + "/trace.txt"));
      for (std::string line; std::getline(trace, line);)
        if (line.rfind(prefix, 0) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  // Reads standard output (a pipe) until it holds `text`.
  bool ReadUntil(const std::string& text) {
    std::string got;
    char c;
    while (got.find(text) == std::string::npos) {
      if (::read(out_, &c, 1) != 1) return false;
      got.push_back(c);
    }
    return true;
  }
  void CloseOutput() {
    ::close(out_);
    ::close(err_);
    out_ = err_ = -1;
  }
  void Signal(int signal) { ::kill(pid_, signal); }
  // The exit code, or 128 + the signal that ended the run; -2 after a minute.
  int Wait() {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Out() const { return Slurp(folder_ + "/.stdout"); }
  std::string Err() const { return Slurp(folder_ + "/.stderr"); }

 private:
  std::string folder_;
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool ended_ = false;
};

// A camera written on the real clock (its waits take their real time), its
// flash in a file that starts with old contents.
std::vector<std::uint8_t> PrepareRealClockCamera(ToolFolder& tool) {
  json scene = DemoScene();
  scene["clock"] = "real";
  std::ofstream(tool.dir.file("scene.json")) << scene.dump();
  std::vector<std::uint8_t> old(65536, 0x3C);
  WriteBytes(tool.dir.file("flash.bin"), old);
  return old;
}

// The camera entered download mode (XU_DFU_ENABLE = 1): from here until it
// leaves it, the keyboard and the terminal cannot end the run.
const std::string kEnteredDownload = "0 SET 9 01";

TEST(Process, InterruptsDuringTheWriteAreHeldOffAndTheUpdateCompletes) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ToolFolder tool;
    PrepareRealClockCamera(tool);
    SteeredRun run(tool, {}, false);
    ASSERT_TRUE(run.WaitForTrace(kEnteredDownload));
    run.Signal(signal);
    run.Signal(signal);  // told once
    EXPECT_EQ(run.Wait(), 0) << strsignal(signal);
    EXPECT_EQ(run.Out(), "Checking, Please wiat...\nPass");
    EXPECT_EQ(run.Err(), std::string(kWritePhaseNotice) + "\n");
    ExpectFlashHoldsImage(ReadBytes(tool.dir.file("flash.bin")), 104, 122);
  }
}

// Before the write a switch's run ends at once; a run of long options stops
// before its next write and still writes its report, ending in "Fail".
TEST(Process, InterruptBeforeTheWriteWritesNothing) {
  for (const bool options : {false, true}) {
    ToolFolder tool;
    const std::vector<std::uint8_t> old = PrepareRealClockCamera(tool);
    const std::vector<std::string> args =
        options ? std::vector<std::string>{"--if-needed", "--json", "r.json"}
                : std::vector<std::string>{};
    SteeredRun run(tool, args, false);
    // The device walk's wait after binding the camera: nothing written yet.
    ASSERT_TRUE(run.WaitForTrace("SLEEP 300"));
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), options ? 1 : 128 + SIGINT);
    EXPECT_EQ(ReadBytes(tool.dir.file("flash.bin")), old);
    EXPECT_EQ(Slurp(tool.dir.file("trace.txt")).find(kEnteredDownload), std::string::npos);
    if (!options) continue;
    EXPECT_EQ(run.Out(), "Checking, Please wiat...\nFail");
    EXPECT_NE(run.Err().find(kStopNotice), std::string::npos) << run.Err();
    EXPECT_NE(run.Err().find("qvflash: the run was stopped"), std::string::npos) << run.Err();
    EXPECT_EQ(json::parse(Slurp(tool.dir.file("r.json")))["exit_code"], 1);
  }
}

// A reader that goes away ("qvflash -dbg | grep -m1 ...", "qvflash | head
// -c3") never ends the update: it runs to its end and the exit code is its.
TEST(Process, ClosedPipeDoesNotEndTheUpdate) {
  struct Row {
    std::vector<std::string> args;
    std::string readUntil;  // then both pipes are closed
  };
  for (const Row& row : std::vector<Row>{
           {{"-dbg"}, "start update...\n"}, {{"-dbg"}, "Transfer data\n"}, {{}, "Che"}}) {
    ToolFolder tool;
    PrepareRealClockCamera(tool);
    SteeredRun run(tool, row.args, true);
    ASSERT_TRUE(run.ReadUntil(row.readUntil)) << row.readUntil;
    run.CloseOutput();
    EXPECT_EQ(run.Wait(), 0) << row.readUntil;
    ExpectFlashHoldsImage(ReadBytes(tool.dir.file("flash.bin")), 104, 122);
  }
}

}  // namespace
}  // namespace qv::testing
