// The progress bar of an update: drawn on standard error only when it is a
// terminal, from the update's own state and percentage, ending "finished"
// only for an update that succeeded, fitting the terminal's width, leaving
// no stale line behind, and never changing standard output.
#include <gtest/gtest.h>

#include <cstdlib>
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
  static const std::regex line(R"(\r\[([#-]{30})\] ([ \d]{3})% (\w+) *(?=\r|\n|$))");
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

// What a terminal of `columns` columns shows after `bytes`: a carriage
// return goes back to the line's start, a line feed to the next line (as a
// terminal's output processing makes it), and a character written past the
// last column wraps to a new line (counted in `wraps`).
std::vector<std::string> Screen(const std::string& bytes, std::size_t columns,
                                int* wraps = nullptr) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (const char c : bytes) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      if (column == columns) {
        if (wraps != nullptr) ++*wraps;
        lines.emplace_back();
        column = 0;
      }
      std::string& line = lines.back();
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

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
  // A redirected standard error gets no bar: at most the reason of a failure.
  if (c.exitCode == 0) {
    EXPECT_EQ(redirected.err, "");
  } else {
    EXPECT_EQ(redirected.err.rfind("qvflash: ", 0), 0u) << redirected.err;
    EXPECT_EQ(redirected.err.find('\r'), std::string::npos);
  }
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
  // A failed update stops at the percentage it reached.
  int reached = 0;
  for (std::size_t i = 0; i + 1 < drawn.size(); ++i) reached = std::max(reached, drawn[i].percent);
  EXPECT_EQ(drawn.back().percent, c.exitCode == 0 ? 100 : reached);
  if (c.exitCode != 0) {
    EXPECT_LT(drawn.back().percent, 100);
  }
  // The percentage never goes back, and no line is drawn twice in a row.
  for (std::size_t i = 1; i < drawn.size(); ++i) {
    EXPECT_GE(drawn[i].percent, drawn[i - 1].percent);
    EXPECT_FALSE(drawn[i].percent == drawn[i - 1].percent && drawn[i].label == drawn[i - 1].label);
  }
  // In a terse run the bar is the only thing on its line, and one line
  // break ends it before the final word.
  if (c.args.empty() && c.exitCode == 0) {
    EXPECT_EQ(std::count(shown.err.begin(), shown.err.end(), '\n'), 1);
    EXPECT_EQ(shown.err.back(), '\n');
    EXPECT_EQ(shown.both.substr(shown.both.size() - 5), "\nPass");
  }
  // On the screen, one bar line is left: the last one, right above what
  // follows it; every other was redrawn or wiped.
  const std::vector<std::string> screen = Screen(shown.both, 80);
  const auto isBar = [](const std::string& l) { return l.find("% ") != std::string::npos; };
  EXPECT_EQ(std::count_if(screen.begin(), screen.end(), isBar), 1) << shown.both;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ProgressOnTerminal,
    ::testing::Values(
        BarCase{"Update", {}, json::array(), "finished", 0},
        BarCase{"VerboseUpdate", {L"-dbg"}, json::array(), "finished", 0},
        BarCase{"ChecksumMismatch", {}, json::array({json{{"checksum_xor", 1}}}), "failed", 1},
        BarCase{"VerboseChecksumMismatch",
                {L"-dbg"},
                json::array({json{{"checksum_xor", 1}}}),
                "failed",
                1},
        BarCase{"UnpluggedDuringTransfer",
                {L"-dbg"},
                json::array({json{{"unplug_after", 120}}}),
                "failed",
                1},
        BarCase{"Dump", {L"-dump"}, json::array(), "", 0},
        BarCase{"Help", {L"--help"}, json::array(), "", 0},
        BarCase{"Version", {L"--version"}, json::array(), "", 0}),
    [](const ::testing::TestParamInfo<BarCase>& info) { return std::string(info.param.name); });

// At every width the bar fits without touching the last column, and each
// redraw covers the one before; below 40 columns the bar itself goes.
TEST(ProgressLine, FitsEveryWidth) {
  for (unsigned columns = 1; columns <= 120; ++columns) {
    std::size_t size = 0;
    for (const auto& [state, percent] :
         std::vector<std::pair<std::uint8_t, std::uint8_t>>{{UPD_START, 5},
                                                            {UPD_TRANSFER, 49},
                                                            {UPD_VERIFY, 95},
                                                            {UPD_DONE, 100},
                                                            {UPD_FAIL, 38},
                                                            {UPD_TRANSFER, 200}}) {
      const ProgressLine line = FormatProgressLine(state, percent, columns);
      if (line.size == 0) {
        EXPECT_LT(columns, 5u);
        continue;
      }
      EXPECT_EQ(line.view()[0], '\r');
      EXPECT_LT(line.size - 1, columns) << columns;  // the carriage return takes no column
      if (size != 0) {
        EXPECT_EQ(line.size, size) << columns;
      }
      size = line.size;
      EXPECT_EQ(line.view().find('[') != std::string_view::npos, columns >= 40) << columns;
    }
  }
  EXPECT_EQ(FormatProgressLine(UPD_FAIL, 38, 30).view(), "\r 38% failed   ");
  EXPECT_EQ(FormatProgressLine(UPD_TRANSFER, 7, 10).view(), "\r  7%");
}

// A failed verbose update on a 30-column terminal: nothing wraps, the
// engine's messages keep their lines, and the only bar line left says
// "failed".
TEST(ProgressOnNarrowTerminal, FailedVerboseUpdateAtThirtyColumns) {
  SimRun run;
  run.console.terminal = true;
  run.console.columns = 30;
  const Outcome o = run.Run(OneMatchingCamera(json::array({json{{"checksum_xor", 1}}})), {L"-dbg"});
  EXPECT_EQ(o.exitCode, 1);
  // The bar's own stream, up to the reason (text the terminal may wrap like
  // the engine's messages): nothing wraps.
  int wraps = 0;
  (void)Screen(o.err.substr(0, o.err.find("qvflash:")), 30, &wraps);
  EXPECT_EQ(wraps, 0) << o.err;
  const std::vector<std::string> screen = Screen(o.both, 30);
  std::vector<std::string> bars;
  for (const std::string& line : screen)
    if (line.find("% ") != std::string::npos) bars.push_back(line);
  ASSERT_EQ(bars.size(), 1u) << o.both;
  EXPECT_EQ(bars[0], " 95% failed");
  EXPECT_NE(std::find(screen.begin(), screen.end(), "Transfer data"), screen.end());
}

// No bar where the terminal cannot redraw a line or the person asked for
// none; standard output is the same.
TEST(ProgressOnTerminal, EnvironmentTurnsTheBarOff) {
  SimRun plain;
  const std::string expected = plain.Run(OneMatchingCamera(), {}).out;
  for (const auto& [name, value] :
       std::vector<std::pair<const char*, const char*>>{{"TERM", "dumb"},
                                                        {"QVFLASH_PROGRESS", "0"},
                                                        {"QVFLASH_PROGRESS", "no"},
                                                        {"QVFLASH_PROGRESS", "OFF"},
                                                        {"QVFLASH_PROGRESS", "False"}}) {
    SimRun run;
    run.console.terminal = true;
    ::setenv(name, value, 1);
    const Outcome o = run.Run(OneMatchingCamera(), {});
    EXPECT_EQ(o.err, "") << name << "=" << value;
    EXPECT_EQ(o.out, expected) << name << "=" << value;
  }
  SimRun run;
  run.console.terminal = true;
  ::setenv("QVFLASH_PROGRESS", "1", 1);
  EXPECT_NE(run.Run(OneMatchingCamera(), {}).err, "");
}

}  // namespace
}  // namespace qv::testing
