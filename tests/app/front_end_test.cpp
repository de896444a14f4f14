// Whole runs of the tool on the simulated camera: output bytes, exit code,
// flash contents and the files beside the executable, for every outcome of
// the device loop.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/inventory.h"
#include "app/messages.h"
#include "flash_expectations.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::string kChecking = "Checking, Please wiat...\n";

json Scene(std::vector<json> cameras, std::vector<json> devices) {
  return json{{"cameras", cameras}, {"image_devices", devices}};
}

json OneMatchingCamera() { return Scene({Camera(0)}, {ImageDevice(0)}); }

std::vector<std::uint8_t> Erased() { return std::vector<std::uint8_t>(65536, 0xFF); }

bool TraceHas(const Outcome& outcome, const std::string& line) {
  return std::find(outcome.trace.begin(), outcome.trace.end(), line) != outcome.trace.end();
}

TEST(FrontEnd, PlainUpdatePrintsOnlyCheckingAndPass) {
  SimRun run;
  const Outcome o = run.Run(OneMatchingCamera(), {});
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.exitCode, 0);
  ExpectFlashHoldsImage(o.flash[0], 104, 122);
  EXPECT_FALSE(run.Exists("tmp"));  // removed in a terse run
  EXPECT_EQ(run.guard.name, L"{A918A806-54BF-4d76-9A9B-04D337529252}");
  EXPECT_EQ(o.state, 23);
  EXPECT_EQ(o.progress, 100);
  EXPECT_EQ(o.trace.back().rfind("END ", 0), 0u);
}

TEST(FrontEnd, VerboseUpdateNamesCameraAndFlashAndKeepsTheImageCopy) {
  SimRun run;
  const Outcome o = run.Run(OneMatchingCamera(), {L"-dbg"});
  const std::string head = kChecking +
                           "--> Device 0 VID/PID (0x04F2/0xB5BD)\n"
                           "Flash : GD25Q512\n"
                           "start update...\n";
  EXPECT_EQ(o.out.substr(0, head.size()), head);
  EXPECT_NE(o.out.find("Transfer data\n"), std::string::npos);  // the engine traces
  const std::string tail = "Update Success\nPass";
  ASSERT_GE(o.out.size(), tail.size());
  EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
  EXPECT_EQ(o.exitCode, 0);
  ExpectFlashHoldsImage(o.flash[0], 104, 122);
  const auto image = EmbeddedImage106();
  EXPECT_EQ(ReadBytes(run.dir.file("tmp")), std::vector<std::uint8_t>(image.begin(), image.end()));
}

std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

// The usage and the version are answered before the guard and the camera
// count: nothing is sent, nothing written, and later arguments do not count.
TEST(FrontEnd, HelpAndVersionAnswerWithoutGuardOrCamera) {
  const std::string usage = Narrow(msg::kUsage);
  const std::string version =
      std::string("qvflash ") + QVFLASH_VERSION + "\n" + FirmwareVersionLines(EmbeddedImage106());
  struct Row {
    std::vector<std::wstring> args;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{L"--help"}, usage},
      {{L"-h"}, usage},
      {{L"-?"}, usage},
      {{L"/?"}, usage},
      {{L"--version", L"--help"}, usage},  // combined in any order: the usage wins
      {{L"-h", L"-dbg"}, usage},
      {{L"--version"}, version},
  };
  for (const Row& row : rows) {
    SimRun run;
    run.console.terminal = true;
    const Outcome o = run.Run(OneMatchingCamera(), row.args);
    const std::string name = Narrow(row.args[0]);
    EXPECT_EQ(o.out, row.out) << name;
    EXPECT_EQ(o.exitCode, 0) << name;
    EXPECT_EQ(o.err, "") << name;
    EXPECT_EQ(run.guard.calls, 0) << name;
    EXPECT_EQ(run.console.terminalQueries, 0) << name;
    EXPECT_EQ(o.requests[0], 0u) << name;
    // Not even the device walk's sleep: at most the end of the run is traced.
    for (const std::string& line : o.trace) EXPECT_EQ(line.rfind("END ", 0), 0u) << name;
    EXPECT_EQ(o.flash[0], Erased()) << name;
    EXPECT_FALSE(run.Exists("tmp")) << name;
    EXPECT_FALSE(run.Exists("Dump.bin")) << name;
  }
}

TEST(FrontEnd, UsageNamesSwitchesFilesExitCodesAndTheSimulator) {
  const std::string usage = Narrow(msg::kUsage);
  for (const char* word :
       {"-dbg", "-dump", "--help", "-h", "-?", "/?", "--version", "setting.ini", "tmp", "Dump.bin",
        "Exit codes", "\"Pass\"", "\"Fail\"", "exits with 2", "console window", "QVFLASH_SIM"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(usage.back(), '\n');
}

// A first argument starting with "--" that is not a known option (or not
// one that can run with the others), or a switch a person plainly meant but
// typed in another case or with "/", is refused before the guard and the
// camera count: exit 2, nothing on standard output, one line saying what was
// wrong and the usage on standard error. Every other first argument keeps
// its old meaning, a plain update without Dump.bin or tmp (scripts rely on
// it): only the exact first argument is a switch.
TEST(FrontEnd, ArgumentClasses) {
  const std::string usage = Narrow(msg::kUsage);
  struct Row {
    std::vector<std::wstring> args;
    bool refused;
    std::string hint;  // in the refusal line
  };
  const std::vector<Row> rows = {
      {{L"--dump"}, true, "\"--dump\" needs a file name (did you mean -dump?)"},
      {{L"--json", L""}, true, "\"--json\" needs a file name"},
      {{L"--list", L"--verify"}, true, "belong to an update, not to --list"},
      {{L"--dump", L"x.bin", L"--all"}, true, "belong to an update, not to --dump"},
      {{L"--list", L"--dump", L"x.bin"}, true, "--list and --dump cannot be combined"},
      {{L"--dry-run", L"--list"}, true, "belong to an update, not to --list"},
      {{L"--dump", L"x.bin", L"--dry-run"}, true, "belong to an update, not to --dump"},
      {{L"--all", L"--json", L"-"}, true, "--json - (the report on standard output) needs --list"},
      {{L"--check", L"--if-needed"}, true, "belong to an update, not to --check"},
      {{L"--restore", L"b.bin", L"--all"}, true, "belong to an update, not to --restore"},
      {{L"--history", L"--list"}, true, "--check, --history and --restore cannot be combined"},
      {{L"--list", L"--no-backup"}, true, "--backup and --no-backup belong to an update"},
      {{L"--restore", L"b.bin", L"--backup", L"c.bin"}, true, "belong to an update"},
      {{L"--backup", L"b.bin", L"--no-backup"}, true, "cannot be combined"},
      {{L"--all", L"--backup", L"b.bin"}, true, "--backup FILE names one backup and --all"},
      {{L"--history", L"--json", L"h.json"}, true, "to standard output only (--json -)"},
      {{L"--force"}, true, "--force belongs to --restore"},
      {{L"--camera", L"usb-1-1", L"--all"}, true, "--camera picks one camera and --all"},
      {{L"--camera"}, true, "\"--camera\" needs a camera ID"},
      {{L"--retry-code", L"4"}, true, "\"4\" is not a number from 5 up"},
      {{L"--retry-code", L"0x10"}, true, "is not a number"},
      {{L"--dbg"}, true, "(did you mean -dbg?)"},
      {{L"--HELP"}, true, "(did you mean --help?)"},
      {{L"--lists"}, true, "unknown option \"--lists\"; nothing was done"},
      {{L"--"}, true, "unknown option \"--\""},
      {{L"--help", L"-dump"}, true, "unknown option \"-dump\""},
      {{L"--\u00e9"}, true, "\"--?\""},
      {{L"-DUMP"}, true, "\"-DUMP\" is not a switch: switches are exact and lower case"},
      {{L"-Dump", L"-dbg"}, true, "(did you mean -dump?)"},
      {{L"-help"}, true, "\"-help\" is not a switch: long options start with \"--\" (did"},
      {{L"/dbg"}, true, "\"/dbg\" is not a switch"},
      // A request to read or list never becomes a write: a long option
      // with one dash, a switch with spaces or tabs around it.
      {{L"-list"}, true, "(did you mean --list?)"},
      {{L"-if-needed"}, true, "(did you mean --if-needed?)"},
      {{L"/ALL"}, true, "switches are exact and lower case (did you mean --all?)"},
      {{L"-dump "}, true, "\"-dump \" has spaces or tabs around it (did you mean -dump?)"},
      {{L"\t-dbg"}, true, "has spaces or tabs around it"},
      {{L" --list"}, true, "(did you mean --list?)"},
      {{L"--LIST"}, true, "(did you mean --list?)"},
      {{L"--json", L"a.json", L"--list", L"--json", L"b.json"}, true, "\"--json\" is given twice"},
      {{L"--version", L"--version"}, true, "is given twice"},
      {{L"--dump", L"x", L"--json", L"x"}, true, "--dump and --json name the same file"},
      {{L"--dump", L"-"}, true, "never to standard output"},
      {{L"-V"}, false, ""},
      {{L"-H"}, false, ""},
      {{L"dbg"}, false, ""},
      {{L"-dbgx"}, false, ""},
      {{L"-listing"}, false, ""},
      {{L"  "}, false, ""},
      {{L""}, false, ""},
      {{L"-"}, false, ""},
      {{L"x", L"-dbg"}, false, ""},
      {{L"x", L"-dump"}, false, ""},
  };
  for (const Row& row : rows) {
    SimRun run;
    run.console.terminal = true;
    const Outcome o = run.Run(OneMatchingCamera(), row.args);
    const std::string name = Narrow(row.args[0]);
    if (!row.refused) {
      EXPECT_EQ(o.out, kChecking + "Pass") << name;
      EXPECT_EQ(o.exitCode, 0) << name;
      EXPECT_EQ(run.guard.calls, 1) << name;
      ExpectFlashHoldsImage(o.flash[0], 104, 122);
      EXPECT_FALSE(run.Exists("Dump.bin")) << name;
      EXPECT_FALSE(run.Exists("tmp")) << name;
      continue;
    }
    EXPECT_EQ(o.exitCode, 2) << name;
    EXPECT_EQ(o.out, "") << name;
    const std::size_t lineEnd = o.err.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << name;
    const std::string reason = o.err.substr(0, lineEnd);
    EXPECT_EQ(reason.rfind("qvflash: ", 0), 0u) << name;
    EXPECT_NE(reason.find(row.hint), std::string::npos) << reason;
    EXPECT_EQ(o.err.substr(lineEnd + 1), usage) << name;
    EXPECT_EQ(run.guard.calls, 0) << name;
    EXPECT_EQ(o.requests[0], 0u) << name;
    for (const std::string& line : o.trace) EXPECT_EQ(line.rfind("END ", 0), 0u) << name;
    EXPECT_EQ(o.flash[0], Erased()) << name;
    EXPECT_FALSE(run.Exists("tmp")) << name;
    EXPECT_FALSE(run.Exists("Dump.bin")) << name;
  }
}

// The first argument alone decides: a later switch or option does not count.
TEST(FrontEnd, ASwitchFirstWinsOverLaterArguments) {
  for (const std::wstring later : {L"-dump", L"--help"}) {
    SimRun run;  // "-dbg" first: a verbose update
    const Outcome o = run.Run(OneMatchingCamera(), {L"-dbg", later});
    EXPECT_NE(o.out.find("Update Success\n"), std::string::npos) << Narrow(later);
    EXPECT_EQ(o.out.find("Usage"), std::string::npos);
    EXPECT_FALSE(run.Exists("Dump.bin"));
  }
  {  // long options after a switch are ignored, and said to be
    SimRun run;
    const Outcome o = run.Run(OneMatchingCamera(), {L"-dbg", L"--json", L"r.json", L"--verify"});
    EXPECT_NE(o.out.find("Update Success\n"), std::string::npos);
    EXPECT_EQ(o.err, "qvflash: only the first argument counts; ignored: --json r.json --verify\n");
    EXPECT_FALSE(run.Exists("r.json"));
  }
  SimRun run;  // "-dump" first: a terse dump
  const Outcome o = run.Run(OneMatchingCamera(), {L"-dump", L"-dbg"});
  EXPECT_EQ(o.out, kChecking + "Dump FW ok.\nPass");
  EXPECT_EQ(o.flash[0], Erased());
  EXPECT_EQ(ReadBytes(run.dir.file("Dump.bin")), Erased());
}

TEST(FrontEnd, SecondInstanceStopsBeforeAnyCameraIsTouched) {
  SimRun run;
  run.guard.answer = IInstanceGuard::Result::AlreadyExists;
  const Outcome o = run.Run(OneMatchingCamera(), {L"-dbg"});
  EXPECT_EQ(o.out, "There is already an instance of this application running.Fail");
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.requests[0], 0u);
  EXPECT_EQ(o.flash[0], Erased());
}

TEST(FrontEnd, GuardTheSystemCannotCreateDoesNotStopTheRun) {
  SimRun run;
  run.guard.answer = IInstanceGuard::Result::Error;
  const Outcome o = run.Run(OneMatchingCamera(), {});
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.exitCode, 0);
}

TEST(FrontEnd, NoCandidateCamera) {
  // No camera at all, a non-USB device, a USB device whose path case is
  // mixed, and one without any way to its extension unit.
  json notUsb = Camera(0);
  notUsb["device_path"] = "\\\\?\\root#image#0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
  json mixedCase = Camera(0);
  mixedCase["device_path"] = "\\\\?\\Usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c40&0&0000#{x}";
  for (const json& scene :
       {Scene({}, {}), Scene({notUsb}, {ImageDevice(0)}), Scene({mixedCase}, {ImageDevice(0)}),
        Scene({Camera(0, "none")}, {ImageDevice(0)})}) {
    SimRun terse;
    Outcome o = terse.Run(scene, {});
    EXPECT_EQ(o.out, "Fail");
    EXPECT_EQ(o.exitCode, 1);
    SimRun verbose;
    o = verbose.Run(scene, {L"-dbg"});
    EXPECT_EQ(o.out, "No Quorvel camera found\nFail");
    EXPECT_EQ(o.exitCode, 1);
    SimRun dump;
    o = dump.Run(scene, {L"-dump"});
    EXPECT_EQ(o.out, "Fail");
    EXPECT_FALSE(dump.Exists("Dump.bin"));
  }
}

TEST(FrontEnd, EveryCameraFailingToOpenPassesAnUpdateButFailsADump) {
  // Chip IDs no family accepts: counted (the extension unit answers), never
  // opened.
  const json scene =
      Scene({Camera(0, "ks", 0x70), Camera(1, "ks", 0xE0)}, {ImageDevice(0), ImageDevice(1)});
  SimRun terse;
  Outcome o = terse.Run(scene, {});
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.flash[0], Erased());
  EXPECT_EQ(o.flash[1], Erased());
  EXPECT_FALSE(terse.Exists("tmp"));

  SimRun verbose;
  o = verbose.Run(scene, {L"-dbg"});
  EXPECT_EQ(o.out, kChecking + "Device 0 init fail \nDevice 1 init fail \nPass");

  // A dump that read no camera has not happened: "Fail", so that a script
  // never takes an older Dump.bin for this run's.
  SimRun dump;
  o = dump.Run(scene, {L"-dump"});
  EXPECT_EQ(o.out, kChecking + "Fail");
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_FALSE(dump.Exists("Dump.bin"));
}

TEST(FrontEnd, MismatchThenMatchUpdatesTheMatchingCamera) {
  const json scene =
      Scene({Camera(0), Camera(1)}, {ImageDevice(0, "VID_046D&PID_0825"), ImageDevice(1)});
  SimRun terse;
  Outcome o = terse.Run(scene, {});
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.flash[0], Erased());
  ExpectFlashHoldsImage(o.flash[1], 104, 122);

  SimRun verbose;
  o = verbose.Run(scene, {L"-dbg"});
  const std::string head = kChecking +
                           "Device 0 VID/PID not match (0x046D/0x0825)\n"
                           "--> Device 1 VID/PID (0x04F2/0xB5BD)\n"
                           "Flash : GD25Q512\n";
  EXPECT_EQ(o.out.substr(0, head.size()), head);
  EXPECT_EQ(o.exitCode, 0);
}

TEST(FrontEnd, OnlyMismatchesFail) {
  // Another vendor's camera, and a camera whose device node is not found
  // (its identity stays cleared: 0x0000/0x0000).
  const json scene = Scene({Camera(0), Camera(1)}, {ImageDevice(0, "VID_04F2&PID_B5BE")});
  SimRun terse;
  Outcome o = terse.Run(scene, {});
  EXPECT_EQ(o.out, kChecking + "Fail");
  EXPECT_EQ(o.exitCode, 1);
  SimRun verbose;
  o = verbose.Run(scene, {L"-dbg"});
  EXPECT_EQ(o.out, kChecking +
                       "Device 0 VID/PID not match (0x04F2/0xB5BE)\n"
                       "Device 1 VID/PID not match (0x0000/0x0000)\n"
                       "Fail");
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.flash[0], Erased());
  EXPECT_EQ(o.flash[1], Erased());
}

TEST(FrontEnd, FailedUpdateEndsTheLoopBeforeTheNextCameraIsOpened) {
  json failing = Camera(0);
  failing["faults"] = json::array({json{{"checksum_xor", 1}}});
  const json scene = Scene({failing, Camera(1)}, {ImageDevice(0), ImageDevice(1)});
  SimRun run;
  const Outcome o = run.Run(scene, {});
  EXPECT_EQ(o.out, kChecking + "Fail");
  EXPECT_EQ(o.exitCode, 1);
  // Camera 1 was counted but its chip ID was never read.
  EXPECT_FALSE(TraceHas(o, "1 SET 2 FF 20"));
  EXPECT_TRUE(TraceHas(o, "0 SET 2 FF 20"));
  EXPECT_EQ(o.flash[1], Erased());
  EXPECT_EQ(o.state, 23);

  SimRun verbose;
  const Outcome v = verbose.Run(scene, {L"-dbg"});
  const std::string tail = "Update Fail\nFail";
  EXPECT_EQ(v.out.substr(v.out.size() - tail.size()), tail);
  EXPECT_NE(v.out.find("Checksum fail 0x"), std::string::npos);
}

TEST(FrontEnd, MismatchAfterAFailedOpenStillFails) {
  const json scene =
      Scene({Camera(0, "ks", 0x70), Camera(1)}, {ImageDevice(1, "VID_046D&PID_0825")});
  SimRun run;
  const Outcome o = run.Run(scene, {L"-dbg"});
  EXPECT_EQ(o.out, kChecking +
                       "Device 0 init fail \n"
                       "Device 1 VID/PID not match (0x046D/0x0825)\n"
                       "Fail");
  EXPECT_EQ(o.exitCode, 1);
}

}  // namespace
}  // namespace qv::testing
