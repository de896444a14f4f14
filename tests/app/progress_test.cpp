// The progress bar of an update: drawn on standard error only when it is a
// terminal, from the update's own state and percentage, ended with a line
// break before the final word, and never changing standard output.
#include <gtest/gtest.h>

#include <regex>

#include "app/progress_bar.h"
#include "flash/download_engine.h"
#include "sim_harness.h"

namespace qv::testing {
namespace {

json OneMatchingCamera(const json& faults = json::array()) {
  json camera = Camera(0);
  camera["faults"] = faults;
  return json{{"cameras", {camera}}, {"image_devices", {ImageDevice(0)}}};
}

// The bar lines drawn, in order, as (label, percent).
struct Drawn {
  std::string label;
  int percent;
};
std::vector<Drawn> BarLines(const std::string& err) {
  static const std::regex line(R"(\r\[([#-]{30})\] ([ \d]{3})% (\w+) *)");
  std::vector<Drawn> drawn;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), line); it != std::sregex_iterator();
       ++it) {
    const std::string bar = (*it)[1];
    const int percent = std::stoi((*it)[2]);
    // The bar is as full as the percentage says.
    EXPECT_EQ(static_cast<int>(std::count(bar.begin(), bar.end(), '#')), percent * 30 / 100);
    drawn.push_back({(*it)[3], percent});
  }
  return drawn;
}

struct BarCase {
  const char* name;
  std::vector<std::wstring> args;
  json faults;
  std::string lastLabel;  // empty: no bar at all
  int exitCode;
};

void PrintTo(const BarCase& c, std::ostream* os) { *os << c.name; }

class ProgressOnTerminal : public ::testing::TestWithParam<BarCase> {};

TEST_P(ProgressOnTerminal, DrawnOnlyForAnUpdateAndOutputUnchanged) {
  const BarCase& c = GetParam();
  SimRun plain;
  const Outcome redirected = plain.Run(OneMatchingCamera(c.faults), c.args);
  SimRun onTerminal;
  onTerminal.console.terminal = true;
  const Outcome shown = onTerminal.Run(OneMatchingCamera(c.faults), c.args);

  // Standard output is byte for byte the same; a redirected standard error
  // gets no bar.
  EXPECT_EQ(shown.out, redirected.out);
  EXPECT_EQ(shown.exitCode, c.exitCode);
  EXPECT_EQ(redirected.exitCode, c.exitCode);
  EXPECT_EQ(redirected.err, "");
  EXPECT_EQ(shown.trace, redirected.trace);

  const std::vector<Drawn> drawn = BarLines(shown.err);
  if (c.lastLabel.empty()) {
    EXPECT_EQ(shown.err, "");
    return;
  }
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn.front().label, "starting");
  EXPECT_EQ(drawn.front().percent, PROGRESS_START);
  EXPECT_EQ(drawn.back().label, c.lastLabel);
  EXPECT_EQ(drawn.back().percent, 100);
  // The percentage never goes back, and no line is drawn twice in a row.
  for (std::size_t i = 1; i < drawn.size(); ++i) {
    EXPECT_GE(drawn[i].percent, drawn[i - 1].percent);
    EXPECT_FALSE(drawn[i].percent == drawn[i - 1].percent && drawn[i].label == drawn[i - 1].label);
  }
  // In a terse run the bar is the only thing on its line, and one line
  // break ends it before the final word.
  if (c.args.empty()) {
    EXPECT_EQ(std::count(shown.err.begin(), shown.err.end(), '\n'), 1);
    EXPECT_EQ(shown.err.back(), '\n');
    const std::string word = shown.exitCode == 0 ? "Pass" : "Fail";
    EXPECT_EQ(shown.both.substr(shown.both.size() - word.size() - 1), "\n" + word);
  }
  // Whatever the run prints on standard output starts on a line of its own:
  // every bar line is followed by a redraw or a line break.
  for (std::size_t at = shown.both.find("\r["); at != std::string::npos;
       at = shown.both.find("\r[", at + 1)) {
    ASSERT_LT(at + kProgressLineSize, shown.both.size());
    const char next = shown.both[at + kProgressLineSize];
    EXPECT_TRUE(next == '\r' || next == '\n') << shown.both.substr(at, 80);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ProgressOnTerminal,
    ::testing::Values(
        BarCase{"Update", {}, json::array(), "finished", 0},
        BarCase{"VerboseUpdate", {L"-dbg"}, json::array(), "finished", 0},
        BarCase{"ChecksumMismatch", {}, json::array({json{{"checksum_xor", 1}}}), "finished", 1},
        BarCase{"VerboseChecksumMismatch",
                {L"-dbg"},
                json::array({json{{"checksum_xor", 1}}}),
                "finished",
                1},
        BarCase{"UnpluggedDuringTransfer",
                {L"-dbg"},
                json::array({json{{"unplug_after", 120}}}),
                "finished",
                1},
        BarCase{"Dump", {L"-dump"}, json::array(), "", 0},
        BarCase{"Help", {L"--help"}, json::array(), "", 0},
        BarCase{"Version", {L"--version"}, json::array(), "", 0}),
    [](const ::testing::TestParamInfo<BarCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::testing
