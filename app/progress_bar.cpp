// The update's progress bar on standard error.
#include "app/progress_bar.h"

#include <algorithm>
#include <cstdio>

#include "flash/download_engine.h"

namespace qv {

namespace {

constexpr std::size_t kBarWidth = 30;

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

ProgressLine FormatProgressLine(std::uint8_t state, std::uint8_t progress) {
  const unsigned percent = std::min<unsigned>(progress, 100u);
  const std::size_t filled = percent * kBarWidth / 100u;
  ProgressLine line{};
  std::size_t at = 0;
  auto put = [&](std::string_view text) {
    for (char c : text) line[at++] = c;
  };
  put("\r[");
  for (std::size_t i = 0; i < kBarWidth; ++i) line[at++] = i < filled ? '#' : '-';
  char number[8];
  std::snprintf(number, sizeof number, "] %3u%% ", percent);
  put(number);
  put(stateLabel(state));
  // "\r[" + bar + "] nnn% " + label: 2 + 30 + 7 + 9 = 48 characters.
  while (at < line.size()) line[at++] = ' ';
  return line;
}

void ProgressConsole::BeginUpdate() { drawing_ = console_.ErrorIsTerminal(); }

void ProgressConsole::EndUpdate() {
  endLine();
  drawing_ = false;
}

void ProgressConsole::OnUpdateStatus(std::uint8_t state, std::uint8_t progress) {
  if (!drawing_) return;
  const ProgressLine line = FormatProgressLine(state, progress);
  // Only a change is drawn: the download reports before every block.
  if (lineOpen_ && line == last_) return;
  console_.WriteError(std::string_view(line.data(), line.size()));
  last_ = line;
  lineOpen_ = true;
}

void ProgressConsole::endLine() {
  if (!lineOpen_) return;
  lineOpen_ = false;
  console_.WriteError("\n");
}

void ProgressConsole::WriteWide(std::wstring_view text) {
  if (!text.empty()) endLine();
  console_.WriteWide(text);
}

void ProgressConsole::WriteNarrow(std::string_view text) {
  if (!text.empty()) endLine();
  console_.WriteNarrow(text);
}

void ProgressConsole::WriteError(std::string_view text) {
  if (!text.empty()) endLine();
  console_.WriteError(text);
}

}  // namespace qv
