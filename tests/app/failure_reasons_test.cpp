// The one reason a failed run tells on standard error, for each way a run
// fails on the simulated camera: what happened in a person's words and the
// next step, the raw status of the failed request under -dbg, and standard
// output byte for byte as it always was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "app/failure_reasons.h"
#include "flash_expectations.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

const std::string kChecking = "Checking, Please wiat...\n";

json Scene(std::vector<json> cameras, std::vector<json> devices) {
  return json{{"cameras", cameras}, {"image_devices", devices}};
}

json WithFaults(json camera, json faults) {
  camera["faults"] = std::move(faults);
  return camera;
}

// The number of camera 0's first request whose trace line starts with
// `prefix` in a clean run of `args` (counting from 1, as faults do).
std::uint32_t RequestNumberOf(const std::string& prefix, const std::vector<std::wstring>& args) {
  SimRun probe;
  const Outcome clean = probe.Run(Scene({Camera(0)}, {ImageDevice(0)}), args);
  std::uint32_t n = 0;
  for (const std::string& line : clean.trace) {
    if (line.rfind("0 ", 0) != 0) continue;
    ++n;
    if (line.rfind(prefix, 0) == 0) return n;
  }
  return 0;
}

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct ReasonCase {
  const char* name;
  json scene;
  std::vector<std::wstring> args;
  std::string out;  // standard output, exactly
  int exitCode;
  std::string reason;  // in the one reason line
  std::string next;    // the next step, in the same line
  std::string status;  // under -dbg, the second line ("" when none)
  std::function<void(SimRun&)> setup = nullptr;
};

void PrintTo(const ReasonCase& c, std::ostream* os) { *os << c.name; }

class Reasons : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(Reasons, OneReasonOnStandardErrorOutputUnchanged) {
  const ReasonCase& c = GetParam();
  SimRun run;
  if (c.setup) c.setup(run);
  const Outcome o = run.Run(c.scene, c.args);
  if (!c.out.empty()) {
    EXPECT_EQ(o.out, c.out);
  }
  EXPECT_EQ(o.exitCode, c.exitCode);
  const bool verbose = !c.args.empty() && c.args[0] == L"-dbg";
  ASSERT_EQ(o.err.rfind("qvflash: ", 0), 0u) << o.err;
  const std::string first = o.err.substr(0, o.err.find('\n'));
  EXPECT_NE(first.find(c.reason), std::string::npos) << first;
  EXPECT_NE(first.find(c.next), std::string::npos) << first;
  if (verbose && !c.status.empty()) {
    EXPECT_EQ(Lines(o.err), 2u) << o.err;
    EXPECT_EQ(o.err.substr(first.size() + 1), "qvflash: " + c.status + "\n");
  } else {
    EXPECT_EQ(Lines(o.err), 1u) << o.err;
  }
  // Standard output is the run's own: no reason there.
  EXPECT_EQ(o.out.find("qvflash:"), std::string::npos);
}

json Matching() { return Scene({Camera(0)}, {ImageDevice(0)}); }

std::vector<ReasonCase> Cases() {
  const std::uint32_t firstRead = RequestNumberOf("0 SET 14 ", {L"-dump"});
  const json neverOpens = Scene({Camera(0, "ks", 0x70)}, {ImageDevice(0)});
  json unlisted = Camera(0);
  unlisted["flash"] = json{{"rems", {1, 2, 3}}, {"res", {4, 5, 6}}, {"rdid", {7, 8, 9}}};
  const auto folderInTheWay = [](const char* name) {
    return [name](SimRun& run) {
      // A non-empty folder where the file goes: no file can replace it.
      std::filesystem::create_directories(run.dir.file(name) + "/kept");
    };
  };
  return {
      // One line for both systems: a group to join here, Device Manager on Windows.
      {"NoCamera",
       Scene({}, {}),
       {L"-dbg"},
       "No Quorvel camera found\nFail",
       1,
       "join the video group",
       "Device Manager",
       ""},
      {"AnotherCopy",
       Matching(),
       {},
       "There is already an instance of this application running.Fail",
       1,
       "another copy of qvflash is running",
       "wait for it to end",
       "",
       [](SimRun& run) { run.guard.answer = IInstanceGuard::Result::AlreadyExists; }},
      {"OnlyAnotherMake",
       Scene({Camera(0)}, {ImageDevice(0, "VID_046D&PID_0825")}),
       {},
       kChecking + "Fail",
       1,
       "(camera 0 is 046D:0825)",
       "plug in that camera and rerun",
       ""},
      {"DumpWhereNoCameraOpens",
       neverOpens,
       {L"-dump"},
       kChecking + "Fail",
       1,
       "a camera could not be opened (camera 0)",
       "plug it in again and rerun",
       ""},
      {"UnpluggedVerboseShowsTheStatus",
       Scene({WithFaults(Camera(0), {{{"unplug_after", 120}}})}, {ImageDevice(0)}),
       {L"-dbg"},
       "",
       1,
       "the camera went away during the run",
       "plug it in again and rerun",
       "status 0x8007048F"},
      // A request that timed out ends the update there: the camera is sent
      // nothing more, whether or not it would have answered again.
      {"CameraStopsAnswering",
       Scene({WithFaults(Camera(0), {{{"request", 120}, {"result", "0x80070079"}, {"count", 1}}})},
             {ImageDevice(0)}),
       {L"-dbg"},
       "",
       1,
       "the camera stopped answering",
       "plug it in again and rerun",
       "status 0x80070079"},
      {"ChecksumMismatch",
       Scene({WithFaults(Camera(0), {{{"checksum_xor", 1}}})}, {ImageDevice(0)}),
       {},
       kChecking + "Fail",
       1,
       "checksum differs",
       "the flash may not hold the new firmware: rerun",
       ""},
      {"FlashStopsAnswering",
       Scene({WithFaults(Camera(0), {{{"wip", "stuck"}}})}, {ImageDevice(0)}),
       {},
       kChecking + "Fail",
       1,
       "the camera's flash stopped answering",
       "plug it in again and rerun",
       ""},
      {"SpiMasterStuck",
       Scene({WithFaults(Camera(0), {{{"spi_busy", "stuck"}}})}, {ImageDevice(0)}),
       {},
       kChecking + "Fail",
       1,
       "the camera's flash stopped answering",
       "rerun",
       ""},
      {"ReadOutFails",
       Scene({WithFaults(Camera(0),
                         {{{"request", firstRead}, {"result", "0x8007001F"}, {"count", 100000}}})},
             {ImageDevice(0)}),
       {L"-dump"},
       kChecking + "Dump FW fail.\nFail",
       1,
       "reading the camera's flash failed",
       "plug it in again and rerun",
       ""},
      {"DumpNotWritable",
       Matching(),
       {L"-dump"},
       kChecking + "Dump FW fail.\nFail",
       1,
       "/Dump.bin: Is a directory)",
       "remove or rename that folder",
       "",
       folderInTheWay("Dump.bin")},
      {"ImageCopyNotWritableVerboseShowsErrno",
       Matching(),
       {L"-dbg"},
       "",
       1,
       "/tmp: Is a directory)",
       "remove or rename that folder",
       "system error 21",
       folderInTheWay("tmp")},
      {"ImageCopyNotWritable",
       Matching(),
       {},
       kChecking + "Fail",
       1,
       "a folder has the name of a file qvflash writes (",
       "remove or rename that folder",
       "",
       folderInTheWay("tmp")},
      {"DumpFolderMissing",
       Matching(),
       {L"--dump", L"/qvflash-missing/x.bin"},
       "",
       2,  // refused before any camera is touched
       "does not exist (/qvflash-missing/x.bin: No such file or directory)",
       "create it",
       ""},
      {"ReportFolderMissing",
       Matching(),
       {L"--list", L"--json", L"/qvflash-missing/r.json"},
       "",
       2,  // refused before any camera is touched
       "does not exist (/qvflash-missing/r.json: No such file or directory)",
       "create it",
       ""},
      {"DumpPathTooLong",
       Matching(),
       {L"--dump", L"/" + std::wstring(300, L'n')},
       "",
       2,  // refused before any camera is touched
       "the path of a file qvflash writes is too long",
       "move qvflash to a folder with a shorter path (or name a shorter path)",
       ""},
      {"UnknownFlashVerbose",
       Scene({unlisted}, {ImageDevice(0)}),
       {L"-dbg"},
       "",
       1,
       "flash part is not one qvflash knows",
       "nothing was written",
       ""},
  };
}

INSTANTIATE_TEST_SUITE_P(Runs, Reasons, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ReasonCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Reasons, PassTellsNothing) {
  for (const std::vector<std::wstring>& args :
       std::vector<std::vector<std::wstring>>{{}, {L"-dbg"}, {L"-dump"}}) {
    SimRun run;
    const Outcome o = run.Run(Matching(), args);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
  }
}

// Every counted camera failing to open keeps the update's "Pass" (fleet
// scripts rely on it), but the person learns that nothing was updated.
TEST(Reasons, UpdateWhereNoCameraOpensPassesButSaysSo) {
  SimRun run;
  const Outcome o = run.Run(
      Scene({Camera(0, "ks", 0x70), Camera(1, "ks", 0xE0)}, {ImageDevice(0), ImageDevice(1)}), {});
  EXPECT_EQ(o.out, kChecking + "Pass");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.err.rfind(std::string(kNothingUpdated), 0), 0u) << o.err;
  EXPECT_NE(o.err.find("a camera could not be opened (camera 0)"), std::string::npos) << o.err;
  EXPECT_EQ(Lines(o.err), 2u);
}

// The final word gets a line end of its own on a terminal, never in a file
// or pipe (scripts compare the bytes).
TEST(Reasons, FinalWordEndsItsLineOnlyOnATerminal) {
  for (const bool terminal : {false, true}) {
    SimRun pass;
    pass.console.outputTerminal = terminal;
    EXPECT_EQ(pass.Run(Matching(), {}).out, kChecking + (terminal ? "Pass\n" : "Pass"));
    SimRun fail;
    fail.console.outputTerminal = terminal;
    EXPECT_EQ(fail.Run(Scene({}, {}), {}).out, terminal ? "Fail\n" : "Fail");
  }
}

// A run that failed for a reason no layer noted still says something.
TEST(Reasons, EveryKindHasWordsAndAnUnnotedFailureToo) {
  std::set<std::string_view> codes;
  for (int k = 0; k <= static_cast<int>(FailureKind::FirmwareDiffers); ++k) {
    const FailureNote note{static_cast<FailureKind>(k), "", std::nullopt};
    const std::string text = ReasonLines(note, false);
    EXPECT_EQ(text.rfind("qvflash: ", 0), 0u);
    EXPECT_NE(text, std::string(kUnexplainedFailure)) << k;
    EXPECT_EQ(Lines(text), 1u);
    // A program that reads the report tells the kinds apart by their codes.
    EXPECT_TRUE(codes.insert(ReasonCode(note.kind)).second) << ReasonCode(note.kind);
  }
  EXPECT_EQ(codes.count("unexplained"), 0u);
  FailureNotes none;
  EXPECT_EQ(ChiefNote(none), nullptr);
  // The cause, not its consequence: an unplugged camera also fails requests.
  FailureNotes both;
  both.note(FailureKind::RequestFailed, "control 10", -1);
  both.note(FailureKind::Unplugged);
  ASSERT_NE(ChiefNote(both), nullptr);
  EXPECT_EQ(ChiefNote(both)->kind, FailureKind::Unplugged);
}

}  // namespace
}  // namespace qv::testing
