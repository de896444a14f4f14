// The update's progress bar on standard error.
#include "app/progress_bar.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "flash/download_engine.h"

namespace qv {

namespace {

constexpr unsigned kDefaultColumns = 80;
// Below this many columns the bar itself is left out.
constexpr unsigned kFullFormColumns = 40;
constexpr std::size_t kMostBarWidth = 30;
constexpr std::size_t kLabelWidth = 9;
// "[" + bar + "] nnn% " + label: the bar and 17 characters.
constexpr std::size_t kFullFormText = 1 + 2 + 4 + 1 + kLabelWidth;

// What each state code of an update is shown as (padded to one width).
std::string_view stateLabel(std::uint8_t state) {
  switch (state) {
    case UPD_START:
      return "starting ";
    case UPD_TRANSFER:
      return "writing  ";
    case UPD_VERIFY:
      return "verifying";
    case UPD_DONE:
      return "finished ";
    case UPD_FAIL:
      return "failed   ";
    default:
      return "updating ";
  }
}

}  // namespace

ProgressLine FormatProgressLine(std::uint8_t state, std::uint8_t progress, unsigned columns) {
  if (columns == 0) columns = kDefaultColumns;
  // The last column stays free: writing there makes some terminals wrap.
  const std::size_t room = columns - 1;
  const unsigned percent = std::min<unsigned>(progress, 100u);
  char number[8];
  std::snprintf(number, sizeof number, "%3u%%", percent);
  const std::string_view label = stateLabel(state);

  ProgressLine line;
  auto put = [&](std::string_view text) {
    for (char c : text) line.text[line.size++] = c;
  };
  if (room < 4) return line;  // not even the percentage fits
  put("\r");
  if (columns >= kFullFormColumns) {
    const std::size_t width = std::min(kMostBarWidth, room - kFullFormText);
    const std::size_t filled = percent * width / 100u;
    put("[");
    for (std::size_t i = 0; i < width; ++i) put(i < filled ? "#" : "-");
    put("] ");
    put(number);
    put(" ");
    put(label);
  } else {
    put(number);
    if (room >= 5 + kLabelWidth) {
      put(" ");
      put(label);
    }
  }
  return line;
}

bool ProgressAllowedByEnvironment() {
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;
  const char* wanted = std::getenv("QVFLASH_PROGRESS");
  if (wanted == nullptr) return true;
  // The ways people write "no", in any letter case.
  for (const std::string_view no : {"0", "no", "off", "false"}) {
    const std::string_view value(wanted);
    if (value.size() == no.size() &&
        std::equal(value.begin(), value.end(), no.begin(), [](char a, char b) {
          return (a >= 'A' && a <= 'Z' ? static_cast<char>(a + 32) : a) == b;
        })) {
      return false;
    }
  }
  return true;
}

void ProgressConsole::BeginUpdate() {
  drawing_ = console_.ErrorIsTerminal() && ProgressAllowedByEnvironment();
  columns_ = drawing_ ? console_.ErrorColumns() : 0;
  reached_ = 0;
  anyDrawn_ = false;
  lineOpen_ = false;
}

void ProgressConsole::EndUpdate(bool succeeded) {
  if (drawing_ && anyDrawn_) {
    draw(succeeded ? FormatProgressLine(UPD_DONE, 100, columns_)
                   : FormatProgressLine(UPD_FAIL, reached_, columns_));
    if (lineOpen_) console_.WriteError("\n");
    lineOpen_ = false;
  }
  drawing_ = false;
}

void ProgressConsole::OnUpdateStatus(std::uint8_t state, std::uint8_t progress) {
  if (!drawing_) return;
  // The engine reports "done" whether or not the update succeeded: the
  // last line waits for the update's result (EndUpdate).
  if (state == UPD_DONE) return;
  // A route that fails on its own shows it at the percentage reached.
  if (state != UPD_FAIL) reached_ = std::max(reached_, std::min<std::uint8_t>(progress, 100));
  const ProgressLine line =
      FormatProgressLine(state, state == UPD_FAIL ? reached_ : progress, columns_);
  anyDrawn_ = true;
  draw(line);
}

void ProgressConsole::draw(const ProgressLine& line) {
  // Only a change is drawn: the download reports before every block.
  if (line.size == 0 || (lineOpen_ && line == last_)) return;
  console_.WriteError(line.view());
  last_ = line;
  lineOpen_ = true;
}

void ProgressConsole::wipeLine() {
  if (!lineOpen_) return;
  lineOpen_ = false;
  // Spaces over the whole bar, and back to the line's start: the text that
  // follows takes the line, and the bar is drawn again below it.
  std::array<char, kProgressLineMax + 1> blank{};
  blank.fill(' ');
  blank[0] = '\r';
  blank[last_.size] = '\r';
  console_.WriteError(std::string_view(blank.data(), last_.size + 1));
}

void ProgressConsole::WriteWide(std::wstring_view text) {
  if (!text.empty()) wipeLine();
  console_.WriteWide(text);
  if (!text.empty()) outputLineOpen_ = text.back() != L'\n';
}

void ProgressConsole::WriteNarrow(std::string_view text) {
  if (!text.empty()) wipeLine();
  console_.WriteNarrow(text);
  if (!text.empty()) outputLineOpen_ = text.back() != '\n';
}

void ProgressConsole::WriteError(std::string_view text) {
  if (text.empty()) return;
  wipeLine();
  // Both streams in one file: "Fail" and the reason that follows it would
  // run together on one line. Standard output itself stays as it is.
  if (outputLineOpen_ && console_.ErrorSharesOutput()) console_.WriteError("\n");
  outputLineOpen_ = false;
  console_.WriteError(text);
}

}  // namespace qv
