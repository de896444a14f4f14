#pragma once
// The one-line progress bar of an update on standard error. It stands
// between the run and the console: text for standard output passes through
// unchanged, and a bar line still open is ended first so that the two never
// share a line. The bar is drawn only while an update runs and only when
// standard error is a terminal; a redirected standard error gets nothing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "camera/camera_device.h"
#include "platform/os_services.h"

namespace qv {

// The bar line for a state code and percentage: a carriage return, then
// text of the same length for every input (each redraw covers the last).
// Percentages above 100 show as 100.
inline constexpr std::size_t kProgressLineSize = 48;
using ProgressLine = std::array<char, kProgressLineSize>;
ProgressLine FormatProgressLine(std::uint8_t state, std::uint8_t progress);

class ProgressConsole final : public IConsole, public IUpdateObserver {
 public:
  explicit ProgressConsole(IConsole& console) : console_(console) {}

  // An update starts: from now on its status is drawn, if standard error is
  // a terminal.
  void BeginUpdate();
  // The update has returned: an open bar line is ended with a line break.
  void EndUpdate();

  void OnUpdateStatus(std::uint8_t state, std::uint8_t progress) override;

  void WriteWide(std::wstring_view text) override;
  void WriteNarrow(std::string_view text) override;
  void WriteError(std::string_view text) override;
  bool ErrorIsTerminal() override { return console_.ErrorIsTerminal(); }

 private:
  void endLine();

  IConsole& console_;
  bool drawing_ = false;
  bool lineOpen_ = false;
  ProgressLine last_{};
};

}  // namespace qv
