// The long options that work on cameras, as whole runs on the simulated
// camera: the read-only inventory, updates only where needed, of every
// target camera, verified by read-back, a dump into a named file and the
// JSON report. The request trace proves what was (not) sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/backup_file.h"
#include "app/history.h"
#include "app/messages.h"
#include "app/sha256.h"
#include "platform/failure_notes.h"
#include "platform/write_phase.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::string kChecking = "Checking, Please wiat...\n";

// A camera of another make, number `n`.
json ForeignCamera(int n) {
  json camera = Camera(n);
  camera["device_path"] = "\\\\?\\usb#vid_046d&pid_0825&mi_00#6&1a2b3c4" + std::to_string(n) +
                          "&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
  return camera;
}

// What an update leaves in the flash of a camera with this chip and part
// (the first run on an erased flash).
std::vector<std::uint8_t> UpdatedFlash(int chipId, const std::string& part) {
  SimRun run;
  const Outcome o = run.Run(
      json{{"cameras", {Camera(0, "ks", chipId, part)}}, {"image_devices", {ImageDevice(0)}}}, {});
  EXPECT_EQ(o.exitCode, 0) << "update of chip " << chipId << " " << part;
  return o.flash.at(0);
}

std::vector<std::string> RequestsOf(const Outcome& o, int camera) {
  std::vector<std::string> lines;
  const std::string prefix = std::to_string(camera) + " ";
  for (const std::string& line : o.trace)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  return lines;
}

// A request that writes the flash, its status register or the chip's
// download state: download mode, its data, checksum and commit, sector
// erase, flash data writes, packet writes, the download preparation.
bool IsWritingRequest(const std::string& line) {
  std::istringstream in(line);
  std::string camera, kind;
  int selector = 0;
  in >> camera >> kind >> selector;
  if (kind == "SET")
    return selector == 9 || selector == 10 || selector == 12 || selector == 13 || selector == 15 ||
           selector == 20 || selector == 22;
  return kind == "GET" && selector == 11;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The inventory: a foreign camera and two target cameras, one holding what an
// update leaves, one not. Everything is listed; nothing is written.
TEST(List, ListsEveryCameraAndWritesNothing) {
  SimRun run;
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  std::vector<std::uint8_t> older = current;
  older[0x1234] ^= 0x01;  // another build of the firmware
  const std::vector<std::uint8_t> foreign(65536, 0x5A);
  WriteBytes(run.dir.file("f0.bin"), foreign);
  WriteBytes(run.dir.file("f1.bin"), current);
  WriteBytes(run.dir.file("f2.bin"), older);
  const json scene{
      {"cameras",
       {WithFlashFile(ForeignCamera(0), "f0.bin"), WithFlashFile(Camera(1), "f1.bin"),
        WithFlashFile(Camera(2, "private", 0xB1, "SST25VF512"), "f2.bin")}},
      {"image_devices", {ImageDevice(0, "VID_046D&PID_0825"), ImageDevice(1), ImageDevice(2)}}};
  const Outcome o = run.Run(scene, {L"--list"});
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.err, "");
  const std::vector<std::string> lines = Lines(o.out);
  ASSERT_EQ(lines.size(), 4u) << o.out;
  EXPECT_EQ(lines[0].rfind("INDEX  USB        REV   TARGET  FAMILY  FLASH", 0), 0u) << lines[0];
  EXPECT_NE(lines[1].find("046D:0825  0100"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find(" no "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find(" differs "), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" yes "), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find(" 104 "), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("GD25Q512"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("90: C8 05 C8  64 KB  current"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("SST25VF512"), std::string::npos) << lines[3];
  EXPECT_NE(lines[3].find("90: BF 48 BF  64 KB  differs"), std::string::npos) << lines[3];
  EXPECT_NE(lines[3].find("1a2b3c42"), std::string::npos) << "the path is shown";
  // The columns line up: every row has its state where the header has it.
  const std::size_t column = lines[0].find("FIRMWARE");
  for (std::size_t i = 1; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].find_first_of("cd", column), column);

  EXPECT_EQ(o.flash[0], foreign);
  EXPECT_EQ(o.flash[1], current);
  EXPECT_EQ(o.flash[2], older);
  for (std::uint8_t status : o.status) EXPECT_EQ(status, 0x0C) << "protection untouched";
  for (int camera = 0; camera < 3; ++camera) {
    const std::vector<std::string> requests = RequestsOf(o, camera);
    EXPECT_FALSE(requests.empty());
    for (const std::string& line : requests)
      EXPECT_FALSE(IsWritingRequest(line)) << line.substr(0, 40);
  }
}

// What the inventory sends a camera is what a dump of it sends, up to the
// end of the firmware's span: the walk, identification, the command table
// and the read-out, which the inventory then repeats to compare the two
// reads; the dump goes on reading to 64 KB.
TEST(List, SendsWhatTheDumpSendsAndNoMore) {
  for (const int chipId : {0x6A, 0x8A, 0xA3, 0xB1, 0xDF}) {
    const json scene{{"cameras", {Camera(0, "ks", chipId)}}, {"image_devices", {ImageDevice(0)}}};
    SimRun listRun;
    const Outcome list = listRun.Run(scene, {L"--list"});
    SimRun dumpRun;
    const Outcome dump = dumpRun.Run(scene, {L"-dump"});
    ASSERT_EQ(list.exitCode, 0);
    // The same requests; the listing's one walk settles the filter once,
    // where the dump's count and open each wait.
    const auto requests = [](std::vector<std::string> trace) {
      std::erase_if(trace, [](const std::string& l) { return l.rfind("SLEEP ", 0) == 0; });
      return trace;
    };
    EXPECT_EQ(std::count(list.trace.begin(), list.trace.end(), "SLEEP 300"), 1);
    const std::vector<std::string> listed = requests(list.trace);
    const std::vector<std::string> dumped = requests(dump.trace);
    EXPECT_EQ(listed.back().rfind("END ", 0), 0u);
    // The longest run of requests that ends the inventory and repeats the
    // one before it: the second read, from its command-table load on.
    const std::size_t n = listed.size() - 1;
    std::size_t again = 0;
    for (std::size_t k = 1; 2 * k <= n; ++k) {
      if (std::equal(listed.begin() + (n - k), listed.begin() + n, listed.begin() + (n - 2 * k)))
        again = k;
    }
    ASSERT_GT(again, 0u) << "chip " << chipId;
    EXPECT_EQ(listed[n - again].rfind("0 SET 7 ", 0), 0u) << listed[n - again];
    const std::size_t once = n - again;
    ASSERT_LT(once, dumped.size());
    for (std::size_t i = 0; i < once; ++i)
      ASSERT_EQ(listed[i], dumped[i]) << "chip " << chipId << " line " << i;
    for (std::size_t i = once; i + 1 < dumped.size(); ++i)
      EXPECT_EQ(dumped[i].rfind("0 GET 15 4096 ", 0), 0u) << dumped[i].substr(0, 30);
  }
}

// "current" is exactly what an update leaves, for every chip family and
// command class: the listing after an update says so, and a single changed
// bit anywhere in the image's span makes it "differs".
TEST(List, CurrentIsWhatTheUpdateLeavesOnEveryFamily) {
  for (const int chipId : {0x6A, 0x95, 0x8A, 0xA3, 0xB1, 0xC0, 0xDF}) {
    for (const std::string part : {"GD25Q512", "SST25VF512", "AT25F512B", "MX25L5121E"}) {
      const std::vector<std::uint8_t> updated = UpdatedFlash(chipId, part);
      for (const std::uint32_t changed : {0xFFFFFFFFu, 0u, 0x8011u}) {
        SimRun run;
        std::vector<std::uint8_t> flash = updated;
        if (changed != 0xFFFFFFFFu) flash[changed] ^= 0x04;
        WriteBytes(run.dir.file("flash.bin"), flash);
        const Outcome o =
            run.Run(json{{"cameras", {WithFlashFile(Camera(0, "ks", chipId, part), "flash.bin")}},
                         {"image_devices", {ImageDevice(0)}}},
                    {L"--list"});
        const std::string expected = changed == 0xFFFFFFFFu ? " current " : " differs ";
        EXPECT_NE(o.out.find(expected), std::string::npos)
            << "chip " << chipId << " " << part << " changed " << changed << "\n"
            << o.out;
      }
    }
  }
}

TEST(List, ACameraThatCannotBeReadMakesTheListingIncomplete) {
  SimRun run;
  json broken = Camera(1);
  // Every request after the walk's chip-ID read fails.
  broken["faults"] = json::array({json{{"unplug_after", 4}}});
  const Outcome o = run.Run(
      json{{"cameras", {Camera(0), broken}}, {"image_devices", {ImageDevice(0), ImageDevice(1)}}},
      {L"--list"});
  EXPECT_EQ(o.exitCode, 1);
  const std::vector<std::string> lines = Lines(o.out);
  ASSERT_EQ(lines.size(), 3u) << o.out;
  EXPECT_NE(lines[1].find(" differs "), std::string::npos);
  EXPECT_NE(lines[2].find(" unknown "), std::string::npos) << lines[2];
}

TEST(List, NoCameraIsAnEmptyListingAndExitCode3) {
  SimRun run;
  const Outcome o =
      run.Run(json{{"cameras", json::array()}, {"image_devices", json::array()}}, {L"--list"});
  EXPECT_EQ(o.exitCode, 3);
  EXPECT_EQ(Lines(o.out).size(), 1u) << o.out;
}

// The exit codes of the long options: 3 when no target camera could be
// reached, 4 when the camera should be tried again later (--retry-code N:
// N, on Linux at most 255; the report keeps 4); nothing is written and the
// report carries the code.
TEST(ExitCodes, NoTargetAndTryLater) {
  json unopened = Camera(0);
  unopened["bind_object"] = "0x80004005";
  json streaming = Camera(0);
  streaming["streaming"] = true;
  json unreadable = Camera(0);
  unreadable["faults"] = json::array({json{{"unplug_after", 4}}});
  auto one = [](const json& camera, const json& device) {
    return json{{"cameras", {camera}}, {"image_devices", {device}}};
  };
  const json none{{"cameras", json::array()}, {"image_devices", json::array()}};
  const json foreign = one(ForeignCamera(0), ImageDevice(0, "VID_046D&PID_0825"));
  using Guard = IInstanceGuard::Result;
  struct Row {
    json scene;
    std::vector<std::wstring> args;
    Guard guard;
    int exitCode;
    int reported = exitCode;              // the report's exit_code; 2: no report
    std::uint32_t largestExitCode = 255;  // the system's (0x7FFFFFFF: Windows)
  };
  const std::wstring retry = L"--retry-code";
  const std::vector<Row> rows = {
      {none, {L"--if-needed"}, Guard::Created, 3},
      {one(unopened, ImageDevice(0)), {L"--all", L"--if-needed"}, Guard::Created, 3},
      {foreign, {L"--all"}, Guard::Created, 3},
      {foreign, {L"--dump", L"d.bin"}, Guard::Created, 3},  // another make is not dumped
      {one(streaming, ImageDevice(0)), {L"--if-needed"}, Guard::Created, 4},
      {one(Camera(0), ImageDevice(0)), {L"--list"}, Guard::AlreadyExists, 4},
      {one(streaming, ImageDevice(0)), {L"--if-needed", retry, L"200"}, Guard::Created, 200, 4},
      {one(streaming, ImageDevice(0)),
       {L"--all", retry, L"1618"},
       Guard::Created,
       1618,
       4,
       0x7FFFFFFF},
      {one(streaming, ImageDevice(0)), {L"--all", retry, L"256"}, Guard::Created, 2},
      {one(unreadable, ImageDevice(0)), {L"--list", retry, L"200"}, Guard::Created, 1},
      {none, {L"--check", retry, L"200"}, Guard::Created, 3},
  };
  for (const Row& row : rows) {
    SimRun run;
    run.guard.answer = row.guard;
    run.console.largestExitCode = row.largestExitCode;
    std::vector<std::wstring> args = row.args;
    for (std::wstring& arg : args)
      if (arg == L"d.bin") arg = Widen(run.dir.file("d.bin"));
    args.push_back(L"--json");
    args.push_back(Widen(run.dir.file("r.json")));
    const Outcome o = run.Run(row.scene, args);
    const std::string name = msg::Narrow(row.args[0]) + " " + std::to_string(row.exitCode);
    EXPECT_EQ(o.exitCode, row.exitCode) << name << o.err;
    const std::vector<std::uint8_t> bytes = ReadBytes(run.dir.file("r.json"));
    if (row.reported != 2) {
      EXPECT_EQ(json::parse(std::string(bytes.begin(), bytes.end()))["exit_code"], row.reported)
          << name;
    }
    EXPECT_EQ(bytes.empty(), row.reported == 2) << name;
    EXPECT_FALSE(run.Exists("d.bin")) << name;
    for (const std::vector<std::uint8_t>& flash : o.flash)
      EXPECT_EQ(flash, std::vector<std::uint8_t>(65536, 0xFF)) << name;
    for (const std::string& line : o.trace) EXPECT_FALSE(IsWritingRequest(line)) << name;
  }
}

// --check reads what --list reads and no more; exit 0 with its one line on
// standard output only when every target camera holds this firmware, and
// nothing on standard output otherwise (a detection rule takes any output
// for "installed").
TEST(Check, OneLineOnlyWhenEveryTargetCameraIsCurrent) {
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  json unreadable = Camera(1);
  unreadable["faults"] = json::array({json{{"unplug_after", 4}}});
  const json currentAndForeign{
      {"cameras", {WithFlashFile(Camera(0), "f0.bin"), ForeignCamera(1)}},
      {"image_devices", {ImageDevice(0), ImageDevice(1, "VID_046D&PID_0825")}}};
  const json currentAndOlder{{"cameras", {WithFlashFile(Camera(0), "f0.bin"), Camera(1)}},
                             {"image_devices", {ImageDevice(0), ImageDevice(1)}}};
  const json currentAndUnreadable{{"cameras", {WithFlashFile(Camera(0), "f0.bin"), unreadable}},
                                  {"image_devices", {ImageDevice(0), ImageDevice(1)}}};
  const json foreign{{"cameras", {ForeignCamera(0)}},
                     {"image_devices", {ImageDevice(0, "VID_046D&PID_0825")}}};
  const std::string one = "qvflash: every 04F2:B5BD camera holds this firmware (1 camera)\n";
  using Guard = IInstanceGuard::Result;
  struct Row {
    json scene;
    std::vector<std::wstring> args;  // after --check
    Guard guard;
    int exitCode;
    std::string out;
    std::string reason;  // in standard error
  };
  const std::vector<Row> rows = {
      {currentAndForeign, {}, Guard::Created, 0, one, ""},
      {currentAndOlder, {}, Guard::Created, 1, "", "does not hold this firmware (camera 1)"},
      {currentAndOlder, {L"--camera", L"USB\\SIM_COMPOSITE\\1"}, Guard::Created, 0, one, ""},
      {currentAndUnreadable, {}, Guard::Created, 1, "", "the camera went away"},
      {foreign, {}, Guard::Created, 3, "", "no camera qvflash is for"},
      {currentAndForeign, {}, Guard::AlreadyExists, 4, "", "another copy"},
  };
  for (const Row& row : rows) {
    const auto runWith = [&](const wchar_t* mode) {
      SimRun run;
      run.guard.answer = row.guard;
      WriteBytes(run.dir.file("f0.bin"), current);
      std::vector<std::wstring> args{mode};
      args.insert(args.end(), row.args.begin(), row.args.end());
      return run.Run(row.scene, args);
    };
    const Outcome check = runWith(L"--check");
    const Outcome list = runWith(L"--list");
    const std::string name = std::to_string(row.exitCode) + " " + row.reason;
    EXPECT_EQ(check.exitCode, row.exitCode) << name << check.err;
    EXPECT_EQ(check.out, row.out) << name;
    EXPECT_NE(check.err.find(row.reason), std::string::npos) << name << check.err;
    EXPECT_EQ(check.trace, list.trace) << name;
  }
}

// The fault --verify exists for: cells that do not take their value while
// the chip's checksum over the bytes it received matches.
TEST(Verify, TurnsAStuckCellPassIntoFail) {
  const auto image = EmbeddedImage106();
  const std::uint32_t stuck = 0x0100;
  ASSERT_NE(image[stuck], 0xFF) << "a stuck cell reads 0xFF after the erase";
  for (const int chipId : {0x6A, 0x8A, 0xA3, 0xB1}) {
    json camera = Camera(0, "ks", chipId);
    camera["faults"] = json::array({json{{"stuck_cells", {stuck, stuck + 2}}}});
    const json scene{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}};
    SimRun plain;
    const Outcome unverified = plain.Run(scene, {});
    EXPECT_EQ(unverified.out, kChecking + "Pass") << "the checksum cannot tell, chip " << chipId;

    SimRun run;
    runNotes().clear();
    const Outcome o = run.Run(scene, {L"--verify"});
    EXPECT_EQ(o.out, kChecking + "Fail") << chipId;
    EXPECT_EQ(o.exitCode, 1);
    const std::size_t differing = image[stuck + 2] != 0xFF ? 2 : 1;
    EXPECT_NE(o.err.find("Device 0: verify failed: " +
                         (differing == 1 ? std::string("1 byte differs")
                                         : std::to_string(differing) + " bytes differ") +
                         ", the first at 0x0100"),
              std::string::npos)
        << o.err;
    EXPECT_TRUE(runNotes().has(FailureKind::VerifyMismatch));
    EXPECT_NE(o.err.find("qvflash: the flash read back after the update does not hold"),
              std::string::npos)
        << o.err;
  }
}

// The checks before the first writing request, in every mode and in a dry
// run (which sends what --list sends first): a part smaller than the update's
// span (the 32 KB PM25LD256; family 104 also rewrites bytes at 0xB70A), a
// camera in use, a missing control (with --verify the read-back's too) or
// one Windows' driver hides after a gap in the unit's numbering.
TEST(ChecksBeforeWriting, NothingIsWrittenAndTheReasonIsTold) {
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  auto with = [](json camera, const char* key, json value) {
    camera[key] = std::move(value);
    return camera;
  };
  auto small = [&](int chipId) {
    return with(Camera(0, "ks", chipId, "PM25LD256"), "flash_size", 32768);
  };
  const json no14 = with(Camera(0), "undeclared_controls", json::array({14}));
  const json no4 = with(Camera(0), "undeclared_controls", json::array({4}));
  const std::string hidden = "is hidden by the driver after the gap at control ";
  const json streaming = with(Camera(0), "streaming", true);
  const std::string tooSmall = "too small for the firmware (PM25LD256 holds 32768 bytes";
  const std::string fail = "Device 0: would fail: ";
  const std::string update = "Device 0: would update\n";
  struct Row {
    json camera;
    std::vector<std::wstring> args;
    int exitCode;
    std::string said;    // on standard output or error
    std::string action;  // in the report of a dry run
  };
  const json kept = WithFlashFile(Camera(0), "f0.bin");
  const Row rows[] = {
      {small(0x8A), {}, 1, tooSmall + ", the update needs 46864)", ""},
      {small(0xA3), {L"-dbg"}, 1, "Flash too small for the image, stop download process.\n", ""},
      {small(0xB1), {L"--verify"}, 1, tooSmall + ", the update needs 32786)", ""},
      {no14, {L"--verify"}, 1, "(control 14, the flash address, is not in the camera's", ""},
      {Camera(0), {L"--dry-run"}, 0, update, "would update"},
      {kept, {L"--dry-run", L"--if-needed"}, 0, ": up to date, would not be", "skipped up to date"},
      {small(0xB1), {L"--dry-run"}, 1, fail + "the camera's flash part is too", "would fail"},
      {streaming, {L"--dry-run"}, 4, fail + "another program is using the camera", "would fail"},
      {no4, {}, 1, "(control 7, the flash command index, " + hidden + "4)", ""},
      {no14,
       {L"--dry-run"},
       1,
       fail + "the camera does not offer a control the update needs (control 16, the flash mode, " +
           hidden + "14)",
       "would fail"},
      {no14, {L"--dry-run", L"--verify"}, 1, fail + "the camera does not offer a", "would fail"},
  };
  for (const Row& row : rows) {
    SimRun run;
    WriteBytes(run.dir.file("f0.bin"), current);
    const json scene{{"cameras", {row.camera}}, {"image_devices", {ImageDevice(0)}}};
    std::vector<std::wstring> args = row.args;
    if (!row.action.empty()) args.insert(args.end(), {L"--json", Widen(run.dir.file("r.json"))});
    const Outcome o = run.Run(scene, args);
    SCOPED_TRACE(row.camera.dump() + "\n" + o.both);
    EXPECT_EQ(o.exitCode, row.exitCode);
    EXPECT_EQ(o.out.substr(o.out.size() - 4), row.exitCode == 0 ? "Pass" : "Fail");
    EXPECT_NE(o.both.find(row.said), std::string::npos);
    const std::vector<std::uint8_t> erased(row.camera.value("flash_size", 65536), 0xFF);
    EXPECT_EQ(o.flash[0], row.camera.contains("flash_file") ? current : erased);
    for (const std::string& line : o.trace) EXPECT_FALSE(IsWritingRequest(line)) << line;
    if (row.action.empty()) continue;
    SimRun list;
    WriteBytes(list.dir.file("f0.bin"), current);
    const std::vector<std::string> listed = RequestsOf(list.Run(scene, {L"--list"}), 0);
    const std::vector<std::string> sent = RequestsOf(o, 0);
    ASSERT_LE(listed.size(), sent.size());
    EXPECT_TRUE(std::equal(listed.begin(), listed.end(), sent.begin()));
    const std::vector<std::uint8_t> bytes = ReadBytes(run.dir.file("r.json"));
    const json report = json::parse(std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(report["options"]["dry_run"], true);
    EXPECT_EQ(report["cameras"][0]["action"], row.action);
  }
}

// A read-back that could not run after the write (every request from its
// first on fails) is not taken for a faulty flash.
TEST(Verify, AReadBackThatCouldNotRunIsNoFaultyFlash) {
  const json scene{{"cameras", {Camera(0)}}, {"image_devices", {ImageDevice(0)}}};
  SimRun first;
  const Outcome written = first.Run(scene, {L"--verify", L"--no-backup"});
  std::size_t before = 0;  // camera 0's requests before the read-back
  for (std::size_t i = 0; i < written.trace.size() && written.trace[i].rfind("0 SET 14 ", 0); ++i)
    before += written.trace[i].rfind("0 ", 0) == 0;
  json failing = scene;
  failing["cameras"][0]["faults"] =
      json::array({json{{"request", before + 1}, {"result", "0x8007001F"}, {"count", 1000}}});
  SimRun run;
  const Outcome o = run.Run(failing, {L"--verify", L"--no-backup"});
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.flash[0], written.flash[0]);
  EXPECT_NE(o.err.find("qvflash: the flash could not be read back after the update"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(o.err.find("faulty"), std::string::npos) << o.err;
}

// The chip reset that ends a download on families 106 to 108 takes a real
// camera off the bus until it comes back, last in the walk, as a new device
// with the same camera ID. A read after it waits for that ID (bounded) and
// opens the camera again; the reset request's own timeout is no fault.
TEST(Verify, ReadsTheCameraBackWhereItReturnsAfterItsReset) {
  const auto camera = [](int n, int chipId, const json& reenumerates) {
    json c = Camera(n, "ks", chipId);
    c["reenumerates"] = reenumerates;
    return c;
  };
  const std::string verified = "updated and verified\n";
  json resetTimesOut = camera(0, 0xB1, false);
  resetTimesOut["faults"] = json::array({json{{"request", 0}, {"result", "0x80070079"}}});
  const struct {
    std::vector<json> cameras;
    std::vector<std::wstring> args;
    int exitCode;
    std::string err;
    std::vector<json> cameBack;
  } rows[] = {
      {{camera(0, 0xB1, true)}, {L"--verify", L"--no-backup"}, 0, "Device 0: " + verified, {true}},
      {{camera(0, 0xB1, "never")},
       {L"--verify", L"--no-backup"},
       1,
       "Device 0: verify failed: the camera did not come back after its reset\n",
       {false}},
      {{camera(0, 0x8A, true)},
       {L"--verify", L"--no-backup"},
       0,
       "Device 0: " + verified,
       {nullptr}},
      {{resetTimesOut}, {L"--verify", L"--no-backup"}, 0, "Device 0: " + verified, {true}},
  };
  // 0x01 into 0x2034: the request that resets the chip.
  const auto findReset = [](const std::vector<std::string>& lines) {
    const auto address = std::find(lines.begin(), lines.end(), "0 SET 2 34 20");
    return address == lines.end() ? address : address + 1;
  };
  for (const auto& row : rows) {
    json scene{{"cameras", row.cameras}, {"image_devices", json::array()}};
    for (std::size_t i = 0; i < row.cameras.size(); ++i)
      scene["image_devices"].push_back(ImageDevice(static_cast<int>(i)));
    if (row.cameras[0].contains("faults")) {
      // The request that resets the chip, from a run without the fault.
      json plain = scene;
      plain["cameras"][0].erase("faults");
      SimRun first;
      const std::vector<std::string> requests = RequestsOf(first.Run(plain, {}), 0);
      const auto reset = findReset(requests);
      ASSERT_NE(reset, requests.end());
      ASSERT_EQ(*reset, "0 SET 3 01");
      scene["cameras"][0]["faults"][0]["request"] = reset - requests.begin() + 1;
    }
    SimRun run;
    const std::string path = run.dir.file("r.json");
    std::vector<std::wstring> args = row.args;
    args.insert(args.end(), {L"--json", Widen(path)});
    const Outcome o = run.Run(scene, args);
    SCOPED_TRACE(scene.dump());
    EXPECT_EQ(o.exitCode, row.exitCode);
    EXPECT_EQ(o.err.rfind(row.err, 0), 0u) << o.err;
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    const json report = json::parse(std::string(bytes.begin(), bytes.end()));
    for (std::size_t i = 0; i < row.cameras.size(); ++i) {
      EXPECT_EQ(report["cameras"][i]["came_back"], row.cameBack[i]) << i;
      const std::vector<std::string> requests = RequestsOf(o, static_cast<int>(i));
      EXPECT_EQ(std::count(requests.begin(), requests.end(), std::to_string(i) + " SET 9 01"), 1)
          << "camera " << i << " written once";
    }
    // After the reset: the wait, polled on the clock, then (when the camera
    // came back) its second open, settle wait and chip ID read included.
    const auto reset = findReset(o.trace);
    if (row.cameBack[0].is_null()) {
      EXPECT_EQ(reset, o.trace.end());
      SimRun plain;
      json quiet = scene;
      quiet["cameras"][0].erase("reenumerates");
      EXPECT_EQ(plain.Run(quiet, row.args).trace, o.trace) << "nothing changes without a reset";
      continue;
    }
    ASSERT_NE(reset, o.trace.end());
    std::uint32_t waitedMs = 0;
    auto line = reset + 1;
    for (; line != o.trace.end() && line->rfind("SLEEP ", 0) == 0; ++line)
      waitedMs += static_cast<std::uint32_t>(std::stoul(line->substr(6)));
    if (row.cameBack[0] == false) {
      EXPECT_GE(waitedMs, 15000u) << "bounded, and the run ended";
      EXPECT_LT(waitedMs, 16000u);
      EXPECT_EQ(line, o.trace.end() - (o.trace.back().rfind("END", 0) == 0 ? 1 : 0));
      EXPECT_NE(o.err.find("qvflash: the camera did not come back after its reset"),
                std::string::npos)
          << o.err;
      continue;
    }
    EXPECT_LT(waitedMs, 15000u);
    EXPECT_EQ(std::count(reset, line, "SLEEP 300"), 1) << "the camera bound again";
    EXPECT_NE(std::find(line, o.trace.end(), "0 SET 2 FF 20"), o.trace.end()) << "its chip ID read";
  }
}

// --all: every target camera in index order, each with its own line; the
// run passes only when all did. Without it the run stops at the first.
TEST(All, UpdatesEveryTargetCameraInIndexOrder) {
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  json failing = Camera(2);
  failing["faults"] = json::array({json{{"checksum_xor", 1}}});
  const json scene{
      {"cameras", {Camera(0), ForeignCamera(1), failing, Camera(3)}},
      {"image_devices",
       {ImageDevice(0), ImageDevice(1, "VID_046D&PID_0825"), ImageDevice(2), ImageDevice(3)}}};
  SimRun run;
  const Outcome o = run.Run(scene, {L"--all"});
  EXPECT_EQ(o.out, kChecking + "Fail");
  EXPECT_EQ(o.exitCode, 1);
  // Each target camera backed up before its update, each backup with its
  // sidecar.
  std::string lines;
  int backups = 0;
  for (const std::string& line : Lines(o.err)) {
    const bool backup =
        line.find(": backup " + run.dir.file("state/qvflash/backups/")) != std::string::npos;
    backups += backup;
    if (!backup) lines += line + "\n";
  }
  EXPECT_EQ(backups, 3);
  EXPECT_EQ(run.StateFiles("backups").size(), 6u);
  EXPECT_EQ(lines.rfind("Device 0: updated\nDevice 2: update failed\nDevice 3: updated\n", 0), 0u)
      << o.err;
  EXPECT_NE(o.err.find("checksum"), std::string::npos) << "the reason of the Fail";
  EXPECT_EQ(o.flash[0], current);
  EXPECT_EQ(o.flash[1], std::vector<std::uint8_t>(65536, 0xFF));
  EXPECT_EQ(o.flash[3], current);

  SimRun first;
  const Outcome one = first.Run(scene, {L"--verify", L"--no-backup"});
  EXPECT_EQ(one.exitCode, 0);
  EXPECT_EQ(one.err, "Device 0: updated and verified\n");
  EXPECT_EQ(one.flash[3], std::vector<std::uint8_t>(65536, 0xFF))
      << "later cameras are not examined";
}

// Two target cameras, the first with an infrared function too (two capture
// filters, one USB device): one walk lists two cameras by ID (one settle
// wait each), --all writes each chip once, --list has two rows.
TEST(All, ListsCamerasOncePerUsbDeviceAndWritesEachOnce) {
  json twoFunctions = Camera(0);
  twoFunctions["infrared_path"] =
      "\\\\?\\usb#vid_04f2&pid_b5bd&mi_02#6&1a2b3c4f&0&0002#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"
      "\\global";
  json infraredNode = ImageDevice(0);
  infraredNode["instance_id"] = "USB\\VID_04F2&PID_B5BD&MI_02\\6&1A2B3C4F&0&0002";
  infraredNode["parent"] = 1;
  const json scene{{"cameras", {twoFunctions, Camera(1)}},
                   {"image_devices", {ImageDevice(0), infraredNode, ImageDevice(1)}}};
  const auto settleWaits = [](const Outcome& o) {
    return std::count(o.trace.begin(), o.trace.end(), "SLEEP 300");
  };
  const auto downloads = [](const Outcome& o, int camera) {
    const std::vector<std::string> requests = RequestsOf(o, camera);
    return std::count(requests.begin(), requests.end(), std::to_string(camera) + " SET 9 01");
  };
  SimRun run;
  const std::string path = run.dir.file("report.json");
  const Outcome all = run.Run(scene, {L"--all", L"--no-backup", L"--json", Widen(path)});
  EXPECT_EQ(all.exitCode, 0) << all.err;
  EXPECT_EQ(all.err, "Device 0: updated\nDevice 1: updated\n");
  EXPECT_EQ(settleWaits(all), 2);
  EXPECT_EQ(downloads(all, 0), 1);
  EXPECT_EQ(downloads(all, 1), 1);
  EXPECT_EQ(all.flash[0], UpdatedFlash(0x8A, "GD25Q512"));
  EXPECT_EQ(all.flash[1], all.flash[0]);
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  const json report = json::parse(std::string(bytes.begin(), bytes.end()));
  ASSERT_EQ(report["cameras"].size(), 2u);
  EXPECT_EQ(report["cameras"][0]["camera_id"], "USB\\SIM_COMPOSITE\\1");
  EXPECT_EQ(report["cameras"][1]["camera_id"], "USB\\SIM_COMPOSITE\\3");

  SimRun listRun;
  const Outcome list = listRun.Run(scene, {L"--list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(settleWaits(list), 2);
  const std::vector<std::string> lines = Lines(list.out);
  ASSERT_EQ(lines.size(), 3u) << list.out;
  EXPECT_NE(lines[0].find(" CAMERA_ID "), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" USB\\SIM_COMPOSITE\\1 "), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" USB\\SIM_COMPOSITE\\3 "), std::string::npos) << lines[2];

  // --camera picks the second camera by its ID (letter case aside): the
  // first one is never written; an ID no camera has writes nothing, exit 3.
  SimRun pickRun;
  const Outcome pick = pickRun.Run(scene, {L"--camera", L"usb\\sim_composite\\3"});
  EXPECT_EQ(pick.exitCode, 0) << pick.err;
  EXPECT_EQ(downloads(pick, 0), 0);
  EXPECT_EQ(downloads(pick, 1), 1);
  SimRun noneRun;
  const Outcome none = noneRun.Run(scene, {L"--camera", L"usb-9-9", L"--retry-code", L"200"});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_EQ(downloads(none, 0) + downloads(none, 1), 0);
  EXPECT_NE(none.err.find("no camera has the camera ID asked for (usb-9-9)"), std::string::npos)
      << none.err;
}

// --if-needed: a current camera is reported up to date and never enters
// download mode; with every camera current the run passes. A differing
// camera is updated as without the option (the report's camera 3).
TEST(IfNeeded, CamerasThatAreAllCurrentAreNotWritten) {
  SimRun run;
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  WriteBytes(run.dir.file("f0.bin"), current);
  WriteBytes(run.dir.file("f1.bin"), current);
  const Outcome o = run.Run(
      json{{"cameras", {WithFlashFile(Camera(0), "f0.bin"), WithFlashFile(Camera(1), "f1.bin")}},
           {"image_devices", {ImageDevice(0), ImageDevice(1)}}},
      {L"--all", L"--if-needed", L"--verify"});
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.err, "Device 0: up to date, not written\nDevice 1: up to date, not written\n");
  EXPECT_EQ(o.flash[0], current);
  EXPECT_EQ(o.flash[1], current);
  for (const std::string& line : o.trace)
    EXPECT_FALSE(IsWritingRequest(line)) << line.substr(0, 40);
}

// The report parses, and says what happened to each camera.
TEST(Report, MatchesWhatHappened) {
  SimRun run;
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  WriteBytes(run.dir.file("f0.bin"), current);
  json stuck = Camera(2);
  stuck["faults"] = json::array({json{{"stuck_cells", {0x100}}}});
  const json scene{
      {"cameras",
       {WithFlashFile(Camera(0), "f0.bin"), ForeignCamera(1), stuck, Camera(3, "ks", 0xB1)}},
      {"image_devices",
       {ImageDevice(0), ImageDevice(1, "VID_046D&PID_0825"), ImageDevice(2), ImageDevice(3)}}};
  const std::string path = run.dir.file("report.json");
  const Outcome o = run.Run(scene, {L"--all", L"--json", Widen(path), L"--if-needed", L"--verify"});
  EXPECT_EQ(o.out, kChecking + "Fail");
  EXPECT_EQ(o.exitCode, 1);
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  const json report = json::parse(std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(report["schema_version"], 1);
  EXPECT_EQ(report["tool"]["name"], "qvflash");
  EXPECT_EQ(report["mode"], "update");
  EXPECT_EQ(report["options"]["all"], true);
  EXPECT_EQ(report["result"], "Fail");
  EXPECT_EQ(report["exit_code"], 1);
  EXPECT_EQ(report["reason_code"], "verify_mismatch");
  std::string host;
  std::getline(std::ifstream("/proc/sys/kernel/hostname"), host);
  EXPECT_EQ(report["host"], host);
  EXPECT_TRUE(std::regex_match(report["started"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_LE(report["started"], report["ended"]);
  ASSERT_EQ(report["firmware"].size(), 7u);
  for (const json& image : report["firmware"]) {
    EXPECT_EQ(image["length"], 32786);
    EXPECT_EQ(image["sha256"].get<std::string>().size(), 64u);
  }
  const json& cameras = report["cameras"];
  ASSERT_EQ(cameras.size(), 4u);
  EXPECT_EQ(cameras[0]["action"], "skipped up to date");
  EXPECT_EQ(cameras[0]["state_before"], "current");
  EXPECT_EQ(cameras[0]["result"], "pass");
  EXPECT_EQ(cameras[0]["checksum"], nullptr);
  EXPECT_EQ(cameras[1]["action"], "not the target");
  EXPECT_EQ(cameras[1]["target"], false);
  EXPECT_EQ(cameras[1]["usb"]["vendor"], "046D");
  EXPECT_EQ(cameras[2]["action"], "updated");
  EXPECT_EQ(cameras[2]["state_before"], "differs");
  EXPECT_EQ(cameras[2]["result"], "fail");
  EXPECT_EQ(cameras[2]["verify"], "fail");
  EXPECT_EQ(cameras[2]["verify_difference"]["first_address"], "0x0100");
  EXPECT_EQ(cameras[2]["verify_difference"]["differing_bytes"], 1);
  EXPECT_EQ(cameras[2]["reason_code"], "verify_mismatch");
  EXPECT_NE(cameras[2]["reason"].get<std::string>().find("1 byte differs"), std::string::npos);
  EXPECT_EQ(cameras[0]["reason_code"], nullptr);
  EXPECT_EQ(cameras[1]["reason_code"], nullptr) << "the action says why";
  EXPECT_EQ(cameras[2]["checksum"]["computed"], cameras[2]["checksum"]["device"]);
  EXPECT_EQ(cameras[2]["final_state"], 23);
  EXPECT_EQ(cameras[3]["chip_family"], 106);
  EXPECT_EQ(cameras[3]["action"], "updated");
  EXPECT_EQ(cameras[3]["result"], "pass");
  EXPECT_EQ(cameras[3]["verify"], "pass");
  EXPECT_EQ(cameras[3]["flash"]["part"], "GD25Q512");
  EXPECT_EQ(cameras[3]["flash"]["id_bytes"], json({"0xC8", "0x05", "0xC8"}));
  // The checksum the engine computed is the one the report names for the family.
  EXPECT_EQ(cameras[3]["checksum"]["computed"], report["firmware"][4]["checksum"]);
  EXPECT_GT(cameras[3]["duration_ms"].get<int>(), 0);
  // Written through a scratch file that does not stay behind.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(run.dir.path()))
    entries += entry.path().filename().string().find("report") != std::string::npos;
  EXPECT_EQ(entries, 1u);
}

// Each field says what happened: a camera refused before anything was
// written, a download that never entered download mode (its enable request
// refused twice: request 151 of an update of this camera), a hardware ID
// whose product could not be read.
TEST(Report, SaysWhatDidNotHappen) {
  json busy = Camera(0);
  busy["streaming"] = true;
  json noEnable = Camera(1);
  noEnable["faults"] =
      json::array({json{{"request", 151}, {"result", "0x8007001F"}, {"count", 2}}});
  json unreadable = ImageDevice(2);
  unreadable["hardware_ids"] = {"USB\\VID_04F2"};
  SimRun run;
  const Outcome o = run.Run(json{{"cameras", {busy, noEnable, Camera(2)}},
                                 {"image_devices", {ImageDevice(0), ImageDevice(1), unreadable}}},
                            {L"--all", L"--no-backup", L"--json", Widen(run.dir.file("r.json"))});
  EXPECT_EQ(o.exitCode, 1);
  const std::vector<std::uint8_t> bytes = ReadBytes(run.dir.file("r.json"));
  const json cameras = json::parse(std::string(bytes.begin(), bytes.end()))["cameras"];
  ASSERT_EQ(cameras.size(), 3u);
  EXPECT_EQ(cameras[0]["action"], "refused");
  EXPECT_EQ(cameras[0]["checksum"], nullptr);
  EXPECT_EQ(cameras[0]["reason_code"], "camera_in_use");
  EXPECT_EQ(cameras[1]["action"], "updated");
  EXPECT_EQ(cameras[1]["result"], "fail");
  EXPECT_EQ(cameras[1]["download_mode_entered"], false);
  EXPECT_EQ(cameras[1]["final_state"], nullptr);
  EXPECT_EQ(cameras[1]["checksum"]["device"], nullptr);
  EXPECT_EQ(cameras[1]["flash"]["part"], "GD25Q512") << "identified by the update";
  EXPECT_EQ(cameras[2]["usb"],
            json({{"vendor", "04F2"}, {"product", nullptr}, {"revision", nullptr}}));
  bool told = false;
  for (const FailureNote& note : runNotes().notes())
    told |= note.detail == "the USB identity of camera 2 could not be read";
  EXPECT_TRUE(told) << "not \"camera 2 is 04F2:FFFF\"";
  EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(65536, 0xFF));
}

// Standard output holds the report alone, whatever happened; the tool's
// own texts go to standard error.
TEST(Report, OfTheInventoryOnStandardOutput) {
  for (const bool anotherCopy : {false, true}) {
    SimRun run;
    if (anotherCopy) run.guard.answer = IInstanceGuard::Result::AlreadyExists;
    const Outcome o = run.Run(json{{"cameras", {Camera(0)}}, {"image_devices", {ImageDevice(0)}}},
                              {L"--list", L"--json", L"-"});
    EXPECT_EQ(o.exitCode, anotherCopy ? 4 : 0);
    const json report = json::parse(o.out);
    EXPECT_EQ(report["mode"], "list");
    EXPECT_EQ(report["exit_code"], o.exitCode);
    if (!anotherCopy) {
      EXPECT_EQ(report["cameras"][0]["state_before"], "differs");
      EXPECT_EQ(report["cameras"][0]["action"], "listed");
      continue;
    }
    EXPECT_EQ(o.err.rfind("There is already an instance of this application running.", 0), 0u);
    EXPECT_NE(o.err.find("another copy of qvflash is running"), std::string::npos);
  }
}

// Every file the run writes is checked before any camera is touched: exit 2,
// nothing sent, nothing left behind. The reason starts a line of its own
// when both streams share one file.
TEST(Report, ThatCannotBeWrittenIsRefusedBeforeAnyCamera) {
  SimRun run;
  std::filesystem::create_directory(run.dir.file("folder.json"));
  // (A missing folder: the reasons' table.)
  for (const std::string file : {"folder.json"}) {
    const std::wstring bad = Widen(run.dir.file(file));
    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"--json", bad}, std::vector<std::wstring>{L"--backup", bad},
          std::vector<std::wstring>{L"--json", Widen(run.dir.file("ok.json")), L"--dump", bad}}) {
      const Outcome o =
          run.Run(json{{"cameras", {Camera(0)}}, {"image_devices", {ImageDevice(0)}}}, args);
      EXPECT_EQ(o.exitCode, 2) << file;
      EXPECT_EQ(o.out, "") << file;
      EXPECT_NE(o.err.find("nothing was done"), std::string::npos) << o.err;
      for (const std::string& line : o.trace) EXPECT_EQ(line.rfind("END ", 0), 0u) << line;
      EXPECT_EQ(o.flash[0], std::vector<std::uint8_t>(65536, 0xFF));
      EXPECT_FALSE(run.Exists("ok.json"));
      run.console.err.clear();
    }
  }
  run.console.sharesOutput = true;
  json busy = Camera(0);
  busy["streaming"] = true;
  const Outcome o =
      run.Run(json{{"cameras", {busy}}, {"image_devices", {ImageDevice(0)}}}, {L"--all"});
  EXPECT_NE(o.both.find("Fail\nqvflash: another program is using the camera"), std::string::npos)
      << o.both;
  EXPECT_EQ(o.out, kChecking + "Fail");
}

// The backup before an update: the first min(part size, 64 KB) exactly as
// the flash held them, with a sidecar that parses; the report's digests
// before and after and whether the flash changed; a history line per camera
// written or tried, which --history shows. None without a write, none with
// --no-backup or in a dry run; a history that cannot be written is a
// warning only.
TEST(Backup, KeptBeforeTheUpdateAndRemembered) {
  std::vector<std::uint8_t> older(131072);
  for (std::size_t i = 0; i < older.size(); ++i) older[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  json reenumerating = Camera(0, "ks", 0xB1);
  reenumerating["reenumerates"] = true;
  json large = Camera(0, "ks", 0x8A, "MX25L1006E");
  large["flash_size"] = 131072;
  const std::vector<std::uint8_t> older64(older.begin(), older.begin() + 65536);
  const struct Row {
    json camera;
    std::vector<std::uint8_t> before;  // none: erased
    std::vector<std::wstring> args;
    bool backup;
    int historyLines;
    bool changed;
    bool historyInTheWay = false;
  } rows[] = {
      {Camera(0), older64, {L"--if-needed", L"--verify"}, true, 1, true},
      {Camera(0), older64, {L"--if-needed", L"--verify", L"--no-backup"}, false, 1, true},
      {Camera(0), current, {L"--if-needed", L"--verify"}, false, 0, false},
      {Camera(0), current, {L"--verify"}, true, 1, false},
      {Camera(0), older64, {L"--dry-run"}, false, 0, false},
      {reenumerating, {}, {L"--verify", L"--backup", L"b.bin"}, true, 1, true},
      {large, older, {L"--all"}, true, 1, true},
      {Camera(0), older64, {}, true, 0, true, true},
  };
  for (const Row& row : rows) {
    SimRun run;
    json camera = row.camera;
    if (!row.before.empty()) {
      WriteBytes(run.dir.file("f0.bin"), row.before);
      camera = WithFlashFile(camera, "f0.bin");
    }
    if (row.historyInTheWay)
      std::filesystem::create_directories(run.dir.file("state/qvflash/history.jsonl"));
    std::vector<std::wstring> args = row.args;
    for (std::wstring& arg : args)
      if (arg == L"b.bin") arg = Widen(run.dir.file("b.bin"));
    args.insert(args.end(), {L"--json", Widen(run.dir.file("r.json"))});
    const Outcome o =
        run.Run(json{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}}, args);
    SCOPED_TRACE(msg::Narrow(row.args.empty() ? L"" : row.args[0]) + "\n" + o.both);
    EXPECT_EQ(o.exitCode, 0);
    std::vector<std::uint8_t> before =
        row.before.empty() ? std::vector<std::uint8_t>(65536, 0xFF) : row.before;
    before.resize(65536);
    const std::vector<std::uint8_t> after(o.flash[0].begin(), o.flash[0].begin() + 65536);
    const std::vector<std::uint8_t> bytes = ReadBytes(run.dir.file("r.json"));
    const json report = json::parse(std::string(bytes.begin(), bytes.end()))["cameras"][0];
    EXPECT_EQ(report["changed"], row.changed);
    std::vector<std::string> kept = run.StateFiles("backups");
    if (run.Exists("b.bin")) kept = {run.dir.file("b.bin"), run.dir.file("b.bin.json")};
    EXPECT_EQ(kept.size(), row.backup ? 2u : 0u);
    if (row.backup && kept.size() == 2) {
      EXPECT_EQ(ReadBytes(kept[0]), before);
      const std::vector<std::uint8_t> text = ReadBytes(kept[1]);
      BackupSidecar sidecar;
      std::string why;
      EXPECT_TRUE(ParseSidecar(std::string(text.begin(), text.end()), sidecar, why)) << why;
      EXPECT_EQ(sidecar.sha256, Sha256Hex(before));
      EXPECT_EQ(sidecar.cameraId, "USB\\SIM_COMPOSITE\\1");
      EXPECT_EQ(report["backup"], kept[0]);
      EXPECT_EQ(report["flash_before"]["backup_span"]["sha256"], sidecar.sha256);
      if (report["verify"] == "pass") {
        EXPECT_EQ(report["flash_after"]["backup_span"]["sha256"], Sha256Hex(after));
      }
    } else {
      EXPECT_EQ(report["backup"], nullptr);
    }
    const std::vector<std::uint8_t> history =
        row.historyInTheWay ? std::vector<std::uint8_t>{}
                            : ReadBytes(run.dir.file("state/qvflash/history.jsonl"));
    const HistoryRead read = ParseHistory(std::string(history.begin(), history.end()));
    ASSERT_EQ(read.entries.size(), static_cast<std::size_t>(row.historyLines));
    EXPECT_TRUE(read.skipped.empty());
    EXPECT_EQ(o.err.find("qvflash: warning: the history could not be written") != std::string::npos,
              row.historyInTheWay);
    if (row.historyLines == 0) continue;
    EXPECT_EQ(read.entries[0].backup, row.backup ? kept[0] : "");
    EXPECT_EQ(read.entries[0].sha256Before,
              row.backup ? Sha256Hex(before)
                         : report["flash_before"]["image_span"]["sha256"].get<std::string>());
    // What --history shows of it, as a table and as JSON lines.
    run.console = CapturingConsole{};
    const Outcome table = run.Run(json{{"cameras", json::array()}}, {L"--history"});
    EXPECT_EQ(table.exitCode, 0);
    ASSERT_EQ(Lines(table.out).size(), 2u) << table.out;
    EXPECT_NE(Lines(table.out)[1].find("  04F2:B5BD  "), std::string::npos) << table.out;
    run.console = CapturingConsole{};
    const Outcome lines =
        run.Run(json{{"cameras", json::array()}}, {L"--history", L"--json", L"-"});
    EXPECT_EQ(json::parse(lines.out)["action"], "updated");
  }
}

TEST(Dump, IntoANamedFileWithItsReport) {
  SimRun run;
  std::vector<std::uint8_t> contents(65536);
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<std::uint8_t>(i * 7);
  WriteBytes(run.dir.file("f0.bin"), contents);
  const std::string dumpPath = run.dir.file("camera0.bin");
  const std::string reportPath = run.dir.file("dump.json");
  const Outcome o =
      run.Run(json{{"cameras", {ForeignCamera(1), WithFlashFile(Camera(0), "f0.bin")}},
                   {"image_devices", {ImageDevice(1, "VID_046D&PID_0825"), ImageDevice(0)}}},
              {L"--dump", Widen(dumpPath), L"--json", Widen(reportPath)});
  EXPECT_EQ(o.out, kChecking + "Dump FW ok.\nPass");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(ReadBytes(dumpPath), contents);
  EXPECT_FALSE(run.Exists("Dump.bin"));
  const std::vector<std::uint8_t> bytes = ReadBytes(reportPath);
  const json report = json::parse(std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(report["mode"], "dump");
  EXPECT_EQ(report["options"]["dump_file"], dumpPath);
  EXPECT_EQ(report["cameras"][0]["action"], "not the target");
  EXPECT_EQ(report["cameras"][1]["action"], "dumped");
  EXPECT_EQ(report["cameras"][1]["target"], true);
}

// Every read-out of the long options reads its span twice and compares: a
// reply changed once (as a short reply the driver filled with zeros) costs
// one more pair of reads and what is used is right; changed on every read,
// nothing read is used (no dump, no state, no verification) and the reason
// is told.
TEST(ReadTwice, AChangedReplyIsReadAgainOrNothingReadIsUsed) {
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  const std::string unsteady =
      "qvflash: the flash read differently twice, and again on another "
      "try; nothing read was used (the first difference at 0x1234)";
  // An update's first read-out is its backup's: one that keeps changing
  // refuses the update, nothing written; changed once, the read-back after
  // the download adds its own pair of reads.
  const struct {
    std::vector<std::wstring> args;
    int flips;
    std::string said;
    int reads = 4;
  } rows[] = {{{L"--dump", L"d.bin"}, 1, "Dump FW ok."},
              {{L"--dump", L"d.bin"}, 9, unsteady},
              {{L"--list"}, 1, "64 KB  current"},
              {{L"--list"}, 9, "64 KB  unknown"},
              {{L"--verify"}, 1, "Device 0: updated and verified", 6},
              {{L"--verify"}, 9, "Device 0: not written\n"},
              {{L"--verify", L"--no-backup"}, 9, unsteady}};
  for (const auto& row : rows) {
    SimRun run;
    WriteBytes(run.dir.file("f0.bin"), current);
    json camera = WithFlashFile(Camera(0), "f0.bin");
    camera["faults"] = json::array({json{{"flip_read", 0x1234}, {"count", row.flips}}});
    std::vector<std::wstring> args = row.args;
    if (args[0] == L"--dump") args[1] = Widen(run.dir.file("d.bin"));
    const Outcome o =
        run.Run(json{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}}, args);
    SCOPED_TRACE(o.both);
    const bool steady = row.flips == 1;
    EXPECT_EQ(o.exitCode, steady ? 0 : 1);
    EXPECT_NE(o.both.find(row.said), std::string::npos);
    EXPECT_EQ(o.err.find(unsteady) != std::string::npos, !steady);
    // Two pairs of reads, the first pair differing.
    EXPECT_EQ(std::count_if(o.trace.begin(), o.trace.end(),
                            [](const std::string& l) { return l.rfind("0 SET 14 ", 0) == 0; }),
              row.reads);
    EXPECT_EQ(run.StateFiles("backups").size(), steady && row.reads == 6 ? 2u : 0u);
    EXPECT_EQ(o.flash[0], current);
    if (args[0] == L"--dump") {  // the dump file, none when nothing read was used
      EXPECT_EQ(ReadBytes(run.dir.file("d.bin")), steady ? current : std::vector<std::uint8_t>{});
    }
  }
}

// A Ctrl-C (here: a guard that asks for the stop on its n-th question, or
// once a write phase has ended) stops the run before its next write; the
// report says what was done and the run fails with the reason.
class ScriptedStops : public IWriteGuard {
 public:
  int stopAtQuestion = 0;  // 0: never
  bool stopAfterWrite = false;
  void BeginWrite() override {}
  void EndWrite() override { written = true; }
  void DeferStops(bool defer) override { deferred = defer; }
  bool StopRequested() const override {
    ++questions;
    return deferred &&
           ((stopAfterWrite && written) || (stopAtQuestion != 0 && questions >= stopAtQuestion));
  }
  bool deferred = false;
  bool written = false;
  mutable int questions = 0;
};

TEST(Interrupt, StopsBeforeTheNextWriteWithItsReport) {
  const std::vector<std::uint8_t> current = UpdatedFlash(0x8A, "GD25Q512");
  const std::vector<std::uint8_t> erased(65536, 0xFF);
  struct Row {
    int stopAtQuestion;
    bool stopAfterWrite;
    std::vector<std::string> actions;  // of the report's cameras
    std::vector<std::uint8_t> first;   // camera 0's flash after the run
  };
  // The loop asks before each camera, the update once more before its
  // first writing request.
  for (const Row& row : {Row{2, false, {"stopped"}, erased}, Row{0, true, {"updated"}, current}}) {
    ScriptedStops stops;
    stops.stopAtQuestion = row.stopAtQuestion;
    stops.stopAfterWrite = row.stopAfterWrite;
    setWriteGuard(&stops);
    SimRun run;
    const Outcome o = run.Run(json{{"cameras", {Camera(0), Camera(1)}},
                                   {"image_devices", {ImageDevice(0), ImageDevice(1)}}},
                              {L"--all", L"--json", Widen(run.dir.file("r.json"))});
    setWriteGuard(nullptr);
    EXPECT_FALSE(stops.deferred) << "deferred only for the run";
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, kChecking + "Fail");
    EXPECT_NE(o.err.find("qvflash: the run was stopped"), std::string::npos) << o.err;
    EXPECT_EQ(o.flash[0], row.first);
    EXPECT_EQ(o.flash[1], erased);
    const std::vector<std::uint8_t> bytes = ReadBytes(run.dir.file("r.json"));
    const json report = json::parse(std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(report["cameras"].size(), row.actions.size());
    for (std::size_t i = 0; i < row.actions.size(); ++i)
      EXPECT_EQ(report["cameras"][i]["action"], row.actions[i]);
  }
}

TEST(Sha256, KnownDigests) {
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes
  EXPECT_EQ(Sha256Hex({reinterpret_cast<const std::uint8_t*>(two.data()), two.size()}),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace qv::testing
