#pragma once
// The one-line progress bar of an update on standard error. It stands
// between the run and the console: text for standard output passes through
// unchanged, and a bar line still open is wiped first so that the two never
// share a line and no stale bar stays behind. The bar is drawn only while an
// update runs, only when standard error is a terminal, and not when the
// terminal says it cannot redraw a line (TERM=dumb) or the person asked for
// none (QVFLASH_PROGRESS=0). It fits the terminal's width, so it never wraps.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "camera/camera_device.h"
#include "platform/os_services.h"

namespace qv {

// The bar line for a state code and percentage on a terminal of `columns`
// columns (0: unknown, taken as 80): a carriage return, then text that
// leaves the last column free (a terminal may wrap once it is written) and
// has the same length for every state and percentage at one width, so that
// each redraw covers the last. From 40 columns on: "[####----] nnn% label";
// narrower: "nnn% label", or "nnn%" alone; nothing below 5 columns.
// Percentages above 100 show as 100.
inline constexpr std::size_t kProgressLineMax = 48;
struct ProgressLine {
  std::array<char, kProgressLineMax> text{};
  std::size_t size = 0;
  std::string_view view() const { return {text.data(), size}; }
  bool operator==(const ProgressLine&) const = default;
};
ProgressLine FormatProgressLine(std::uint8_t state, std::uint8_t progress, unsigned columns = 0);

// Whether the environment lets a bar be drawn: not with TERM=dumb, not with
// QVFLASH_PROGRESS=0, no, off or false (any letter case).
bool ProgressAllowedByEnvironment();

class ProgressConsole final : public IConsole, public IUpdateObserver {
 public:
  explicit ProgressConsole(IConsole& console) : console_(console) {}

  // An update starts: from now on its status is drawn, if at all.
  void BeginUpdate();
  // The update has returned: the bar ends as "finished" at 100 % when it
  // succeeded, as "failed" at the percentage reached when it did not, and
  // its line is ended with a line break.
  void EndUpdate(bool succeeded);

  void OnUpdateStatus(std::uint8_t state, std::uint8_t progress) override;

  void WriteWide(std::wstring_view text) override;
  void WriteNarrow(std::string_view text) override;
  void WriteError(std::string_view text) override;
  bool ErrorIsTerminal() override { return console_.ErrorIsTerminal(); }
  bool OutputIsTerminal() override { return console_.OutputIsTerminal(); }
  unsigned ErrorColumns() override { return console_.ErrorColumns(); }
  bool ErrorSharesOutput() override { return console_.ErrorSharesOutput(); }
  std::uint32_t LargestExitCode() const override { return console_.LargestExitCode(); }

 private:
  void draw(const ProgressLine& line);
  void wipeLine();

  IConsole& console_;
  bool drawing_ = false;
  bool lineOpen_ = false;
  // Standard output's last text did not end its line ("Fail", "Pass").
  bool outputLineOpen_ = false;
  unsigned columns_ = 0;
  std::uint8_t reached_ = 0;  // the highest percentage drawn
  bool anyDrawn_ = false;
  ProgressLine last_{};
};

}  // namespace qv
