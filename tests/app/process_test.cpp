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

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/update_job.h"
#include "platform/linux/linux_instance_guard.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

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

// Runs `program` in `folder` with QVFLASH_SIM set to `scene` (or unset when
// empty). A run that has not ended after a minute is killed and reported
// as exit code -2: the tool must never hang.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& folder, const std::string& scene) {
  const std::string outPath = folder + "/.stdout";
  const std::string errPath = folder + "/.stderr";
  const pid_t child = ::fork();
  if (child == 0) {
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
                               const std::string& folder, const std::string& scene) {
  ChildResult result;
  int master = -1;
  int slave = -1;
  termios raw{};
  ::cfmakeraw(&raw);
  if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return result;
  const std::string outPath = folder + "/.stdout";
  const pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(slave, 2);
    ::close(master);
    ::close(slave);
    ::setenv("QVFLASH_SIM", scene.c_str(), 1);
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
  ChildResult RunOnTerminal(const std::vector<std::string>& args, const std::string& scene) {
    return RunChildOnTerminal(dir.file("qvflash"), args, dir.path(), scene);
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
  EXPECT_EQ(r.err, "");
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
    for (const std::string arg : {"--dump", "-DUMP", "/dbg"}) {
      const ChildResult refused = tool.Run({arg}, scene);
      EXPECT_EQ(refused.exitCode, 2) << arg << " " << scene;
      EXPECT_EQ(refused.out, "");
      EXPECT_EQ(refused.err.rfind("qvflash: ", 0), 0u) << refused.err;
      EXPECT_NE(refused.err.find("\nUsage: qvflash "), std::string::npos);
    }
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
    EXPECT_EQ(redirected.err, "") << name;
    EXPECT_EQ(afterShown, ReadBytes(tool.dir.file("flash.bin"))) << name;
    if (!row.bar) {
      EXPECT_EQ(shown.err, "") << name;
      continue;
    }
    EXPECT_EQ(shown.err.rfind("\r[", 0), 0u) << name;
    EXPECT_NE(shown.err.find("] 100% finished"), std::string::npos) << name;
    ASSERT_FALSE(shown.err.empty());
    EXPECT_EQ(shown.err.back(), '\n') << name;
  }
}

}  // namespace
}  // namespace qv::testing
