// The sweep: one whole update on the simulated camera, with each request in
// turn failing once, and with the camera unplugged after each request in
// turn. Every run must end, and end either in "Fail" with exit code 1 or
// with the flash holding exactly what a clean update leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "sim_harness.h"
#include "tests/support/sweep_stride.h"

namespace qv::testing {
namespace {

// The flash as an older firmware left it, so that a half-done update shows.
std::vector<std::uint8_t> OldFirmware() {
  std::vector<std::uint8_t> bytes(65536);
  const std::string text = "old firmware 0.9 ";
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(text[i % text.size()]);
  return bytes;
}

// One camera of the sweep: its chip, route and flash part.
struct Rig {
  int chipId = 0x8A;
  std::string route = "ks";
  std::string part = "GD25Q512";
};

Outcome RunOnce(const json& faults, const Rig& rig, const std::vector<std::wstring>& args) {
  SimRun run;
  WriteBytes(run.dir.file("flash0.bin"), OldFirmware());
  json camera = Camera(0, rig.route, rig.chipId, rig.part);
  camera["flash_file"] = "flash0.bin";
  camera["faults"] = faults;
  return run.Run(json{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}}, args);
}

struct SweepResult {
  std::uint32_t runs = 0;
  std::uint32_t passed = 0;
  std::vector<std::string> violations;
};

// Every request after the camera opened fails in turn, or the camera is
// unplugged after it. With a stride above 1, the first 300 requests after
// the open (identification, command table, protection, the first blocks)
// are all swept and after them every stride-th one.
void Sweep(const Rig& rig, const std::vector<std::wstring>& args, int failingInARow = 1,
           std::uint32_t stride = 1) {
  const Outcome clean = RunOnce(json::array(), rig, args);
  ASSERT_EQ(clean.exitCode, 0) << clean.out;
  const std::vector<std::uint8_t>& reference = clean.flash[0];
  const std::uint32_t total = clean.requests[0];
  // The camera is open once its chip ID has been read (the SET of the
  // register address 0x20FF, then the GET of the register data). A camera
  // lost before that is one that failed to open, which the device loop
  // passes over without a verdict on it.
  std::uint32_t opened = 0;
  std::uint32_t n = 0;
  bool addressSet = false;
  for (const std::string& line : clean.trace) {
    if (line.rfind("0 ", 0) != 0) continue;
    ++n;
    if (addressSet && line.rfind("0 GET 3 1 ", 0) == 0) {
      opened = n;
      break;
    }
    addressSet = line == "0 SET 2 FF 20";
  }
  ASSERT_GT(opened, 0u);
  ASSERT_GT(total, opened + 20);

  const std::uint32_t thin = SweepStride();
  const auto swept = [&](std::uint32_t k) {
    return k <= opened + 300 ? (k - opened) % thin == 0 : k % (stride * thin) == 0;
  };
  std::vector<json> faults;
  for (std::uint32_t k = opened + 1; k <= total; ++k) {
    if (swept(k))
      faults.push_back(json{{"request", k}, {"result", "0x8007001F"}, {"count", failingInARow}});
  }
  for (std::uint32_t k = opened; k < total; ++k) {
    if (swept(k)) faults.push_back(json{{"unplug_after", k}});
  }

  SweepResult result;
  for (const json& fault : faults) {
    const Outcome o = RunOnce(json::array({fault}), rig, args);
    ++result.runs;
    const bool saidFail =
        o.exitCode == 1 && o.out.size() >= 4 && o.out.compare(o.out.size() - 4, 4, "Fail") == 0;
    const bool saidPass =
        o.exitCode == 0 && o.out.size() >= 4 && o.out.compare(o.out.size() - 4, 4, "Pass") == 0;
    if (saidPass) ++result.passed;
    if (saidFail || (saidPass && o.flash[0] == reference)) continue;
    std::ostringstream what;
    what << fault.dump() << ": exit " << o.exitCode << ", output ends \""
         << o.out.substr(o.out.size() > 40 ? o.out.size() - 40 : 0) << "\"";
    if (saidPass) {
      std::size_t first = 0;
      while (first < reference.size() && o.flash[0][first] == reference[first]) ++first;
      what << ", flash differs from a clean update first at 0x" << std::hex << first;
    }
    result.violations.push_back(what.str());
  }
  ::testing::Test::RecordProperty("runs", static_cast<int>(result.runs));
  ::testing::Test::RecordProperty("passed", static_cast<int>(result.passed));
  std::ostringstream list;
  for (const std::string& v : result.violations) list << "\n  " << v;
  EXPECT_TRUE(result.violations.empty())
      << result.violations.size() << " of " << result.runs << " runs reported success with a flash"
      << " other than a clean update's, or ended otherwise:" << list.str();
}

TEST(Sweep, TerseUpdateFamily104) { Sweep(Rig{}, {}); }

TEST(Sweep, VerboseUpdateFamily104) { Sweep(Rig{}, {L"-dbg"}); }

// A request and its retry both failing.
TEST(Sweep, TerseUpdateFamily104TwoFailuresInARow) { Sweep(Rig{}, {}, 2); }

// Chip-select value 2 and the header rewrite inside the image, through the
// driver's private interface.
TEST(Sweep, TerseUpdateFamily102PrivateRoute) { Sweep(Rig{0x6A, "private"}, {}); }

// The preparation request and the two-byte final header, over both routes.
TEST(Sweep, TerseUpdateFamily105BothRoutes) { Sweep(Rig{0xA0, "both"}, {}); }

// Commit and chip reset instead of host-written headers.
TEST(Sweep, TerseUpdateFamily106) { Sweep(Rig{0xB0}, {}); }

// Parts of the other command classes: a lost identification request must
// not let a terse update take them for the assumed GD25Q512 (wrong table,
// wrong image code byte, a checksum that still agrees). The byte-program
// part (class 1) costs a request per byte: every 7th request after the
// first 300.
TEST(Sweep, TerseUpdateClass1Part) { Sweep(Rig{0x8A, "ks", "SST25VF512"}, {}, 1, 7); }
TEST(Sweep, TerseUpdateClass2Part) { Sweep(Rig{0x8A, "ks", "PM25LD512"}, {}); }
TEST(Sweep, TerseUpdateClass5Part) { Sweep(Rig{0x8A, "ks", "AT25F512B"}, {}); }
TEST(Sweep, TerseUpdateClass6Part) { Sweep(Rig{0x8A, "ks", "MX25L5121E"}, {}); }

// A restore through the SPI master of one sector that differs (the reads
// before and after, the protection lifted and set, an erase, a program):
// "Fail", or the flash holding the backup.
TEST(Sweep, RestoreFamily104) {
  TempDir folder;
  std::vector<std::uint8_t> backup = OldFirmware();
  std::fill_n(backup.begin() + 0x3000, 0x1000, 0xFF);
  const std::string text = "restored";
  for (std::size_t i = 0; i < text.size(); ++i)
    backup[0x3100 + i] = static_cast<std::uint8_t>(text[i]);
  WriteBytes(folder.file("b.bin"), backup);
  Sweep(Rig{}, {L"--restore", Widen(folder.file("b.bin")), L"--force"});
}

// The same for a dump: each run ends in "Fail" with exit code 1 and no
// Dump.bin, or with a Dump.bin equal to the flash (or, for a camera lost
// before it opened, "Pass" and no file); a dump never changes the flash.
TEST(Sweep, DumpOverEveryRoute) {
  std::vector<std::string> violations;
  std::uint32_t runs = 0;
  for (const Rig& rig : {Rig{0x8A, "ks"}, Rig{0x6A, "private"}, Rig{0xB0, "both", "SST25VF512"}}) {
    json camera = Camera(0, rig.route, rig.chipId, rig.part);
    camera["flash_file"] = "flash0.bin";
    const json scene{{"cameras", {camera}}, {"image_devices", json::array()}};
    SimRun probe;
    WriteBytes(probe.dir.file("flash0.bin"), OldFirmware());
    const Outcome clean = probe.Run(scene, {L"-dump"});
    ASSERT_EQ(clean.exitCode, 0);
    const std::uint32_t total = clean.requests[0];
    for (std::uint32_t k = 1; k <= total; k += SweepStride()) {
      for (const json& fault :
           {json{{"request", k}, {"result", "0x8007001F"}}, json{{"unplug_after", k}}}) {
        SimRun run;
        WriteBytes(run.dir.file("flash0.bin"), OldFirmware());
        json faulty = scene;
        faulty["cameras"][0]["faults"] = json::array({fault});
        const Outcome o = run.Run(faulty, {L"-dump"});
        ++runs;
        const bool dumped = run.Exists("Dump.bin");
        const bool ok = o.flash[0] == OldFirmware() &&
                        ((o.exitCode == 1 && o.out.size() >= 4 &&
                          o.out.substr(o.out.size() - 4) == "Fail" && !dumped) ||
                         (o.exitCode == 0 &&
                          (!dumped || ReadBytes(run.dir.file("Dump.bin")) == OldFirmware())));
        if (!ok) {
          violations.push_back(rig.route + "/" + rig.part + " " + fault.dump() + ": exit " +
                               std::to_string(o.exitCode) + (dumped ? ", Dump.bin" : ""));
        }
      }
    }
  }
  std::ostringstream list;
  for (const std::string& v : violations) list << "\n  " << v;
  EXPECT_TRUE(violations.empty()) << violations.size() << " of " << runs
                                  << " dumps wrote something other than the flash:" << list.str();
}

}  // namespace
}  // namespace qv::testing
