// The program's lifecycle (attach lines, ready marker, END and flash files,
// refusals) and the scene's USB identity keys.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/sim/sim_session.h"
#include "usbip_client.h"

namespace qv::sim::usbip::test {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct ProgramRun {
  int exitCode = -1;
  std::string out;
};

ProgramRun runProgram(const std::string& arguments) {
  ProgramRun run;
  const std::string command = std::string(QVUSBCAM_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.out += buffer;
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class UsbipProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("qv_usbip_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// With a plain file for the attach file nobody takes the kernel's end, so
// each connection ends as soon as it is attached and the server ends by
// itself: attach lines, ready, END, flash files.
TEST_F(UsbipProgram, AttachesReportsAndEndsWithTraceAndFlashFiles) {
  std::ofstream(dir_ / "scene.json") << R"({"trace": "trace.txt", "cameras": [
      {"device_path": "a", "flash_file": "a.bin"},
      {"device_path": "b", "faults": [{"unplug_after": 0}]},
      {"device_path": "c"}]})";
  const ProgramRun run =
      runProgram("--attach " + (dir_ / "attach").string() + " --first-port 4 " + "--ready-file " +
                 (dir_ / "ready").string() + " " + (dir_ / "scene.json").string());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("camera 0 port 4 devid 65538\ncamera 1 unplugged\n"
                         "camera 2 port 5 devid 65540\nready\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(readText(dir_ / "ready"), "ready\n");
  // "<port> <sockfd> <devid> <speed>" per attached camera.
  std::istringstream attach(readText(dir_ / "attach"));
  std::string line;
  std::vector<std::string> ports;
  while (std::getline(attach, line)) {
    unsigned port = 0, fd = 0, devid = 0, speed = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%u %u %u %u", &port, &fd, &devid, &speed), 4) << line;
    EXPECT_EQ(speed, 3u);
    EXPECT_GT(fd, 2u);
    ports.push_back(std::to_string(port) + ":" + std::to_string(devid));
  }
  EXPECT_EQ(ports, (std::vector<std::string>{"4:65538", "5:65540"}));
  EXPECT_EQ(readText(dir_ / "trace.txt"), "END 0\n");
  EXPECT_EQ(fs::file_size(dir_ / "a.bin"), 65536u);
}

// A super-speed camera goes to the USB 3 root hub (speed 5) and takes that
// hub's first port: ports are counted per hub.
TEST_F(UsbipProgram, PortsAreCountedPerRootHub) {
  std::ofstream(dir_ / "scene.json") << R"({"cameras": [
      {"device_path": "a"},
      {"device_path": "b", "usb": {"speed": "super"}},
      {"device_path": "c", "usb": {"speed": "high"}},
      {"device_path": "d", "usb": {"speed": "super"}}]})";
  const ProgramRun run = runProgram("--attach " + (dir_ / "attach").string() + " --first-port 2 " +
                                    (dir_ / "scene.json").string());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  std::istringstream attach(readText(dir_ / "attach"));
  std::string line;
  std::vector<std::string> placed;
  while (std::getline(attach, line)) {
    unsigned port = 0, fd = 0, devid = 0, speed = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%u %u %u %u", &port, &fd, &devid, &speed), 4) << line;
    placed.push_back(std::to_string(port) + "@" + std::to_string(speed));
  }
  EXPECT_EQ(placed, (std::vector<std::string>{"2@3", "2@5", "3@3", "3@5"}));
}

TEST_F(UsbipProgram, RefusesWhatItCannotServe) {
  std::ofstream(dir_ / "bad.json") << R"({"cameras": [{"device_path": "a", "usb": {"vendr": 1}}]})";
  std::ofstream(dir_ / "good.json")
      << R"({"trace": "trace.txt", "cameras": [{"device_path": "a"}]})";
  struct Row {
    const char* what;
    std::string arguments;
    int exitCode;
    std::string output;
  };
  const std::vector<Row> rows = {
      {"scene error", (dir_ / "bad.json").string(), 1,
       (dir_ / "bad.json").string() + ": cameras[0].usb.vendr: unknown key\n"},
      {"no scene", "", 2, ""},
      {"unknown switch", "--fast " + (dir_ / "good.json").string(), 2, ""},
      {"attach file in a missing folder",
       "--attach " + (dir_ / "none" / "attach").string() + " " + (dir_ / "good.json").string(), 1,
       "qvusbcam: camera 0: " + (dir_ / "none" / "attach").string() +
           ": No such file or directory\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const ProgramRun run = runProgram(row.arguments);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.out;
    if (row.exitCode == 2) {
      EXPECT_EQ(run.out.rfind("usage: qvusbcam", 0), 0u) << run.out;
    } else {
      EXPECT_EQ(run.out, row.output);
    }
  }
  // A camera that could not be attached ends the run without END.
  EXPECT_EQ(readText(dir_ / "trace.txt"), "");
}

TEST(UsbipScene, UsbIdentityKeys) {
  struct Row {
    const char* members;
    const char* error;  // nullptr: accepted
  };
  const Row rows[] = {
      {R"("usb": {"vendor": 1133, "product": 2085, "revision": 16})", nullptr},
      {R"("usb": {})", nullptr},
      {R"("usb": {"vendor": 65536})", "scene.json: cameras[0].usb.vendor: must be from 0 to 65535"},
      {R"("usb": {"serial": "x"})", "scene.json: cameras[0].usb.serial: unknown key"},
      {R"("usb": 1266)", "scene.json: cameras[0].usb: expected an object"},
      {R"("usb": {"speed": "super", "configurations": 2})", nullptr},
      {R"("usb": {"speed": "high", "configurations": 1})", nullptr},
      {R"("usb": {"speed": "full"})",
       "scene.json: cameras[0].usb.speed: must be \"high\" or \"super\""},
      {R"("usb": {"configurations": 3})",
       "scene.json: cameras[0].usb.configurations: must be from 1 to 2"},
      {R"("usb": {"product": "0xB5BD"})",
       "scene.json: cameras[0].usb.product: expected an integer"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.members);
    const std::string text =
        R"({"cameras": [{"device_path": "p", )" + std::string(row.members) + "}]}";
    std::string error;
    const auto scene = parseScene(text, "", "scene.json", error);
    EXPECT_EQ(scene.has_value(), row.error == nullptr);
    if (row.error != nullptr) {
      EXPECT_EQ(error, row.error);
    }
    // The plain simulator takes the same scene and ignores the keys.
    error.clear();
    const auto session = SimSession::OpenText(text, "", "scene.json", error);
    EXPECT_EQ(session != nullptr, row.error == nullptr) << error;
  }
}

}  // namespace
}  // namespace qv::sim::usbip::test
