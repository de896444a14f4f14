// ParseHistory on any text: every line an entry or passed over with its
// reason, never a crash; an entry read back is written as a line that
// reads back the same.
#include <cstdint>
#include <string_view>

#include "app/history.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const qv::HistoryRead read = qv::ParseHistory(text);
  for (const std::string& why : read.skipped) {
    if (why.empty()) __builtin_trap();
  }
  for (const qv::HistoryEntry& entry : read.entries) {
    std::string line = qv::HistoryLine(entry);
    line.pop_back();
    qv::HistoryEntry again;
    std::string why;
    if (!qv::ParseHistoryLine(line, again, why)) __builtin_trap();
    (void)qv::HistoryTable({again});
  }
  return 0;
}
