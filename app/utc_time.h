#pragma once
// The time of day as records show it: the report, the history and the
// names of backup files.

#include <cstdint>
#include <string>

namespace qv {

// "2026-12-09T09:30:44Z" (ISO 8601, UTC); empty for 0 (the time is not
// known).
std::string UtcText(std::int64_t seconds);
// "20261209T093044Z": the same for a file name (no ':', which Windows
// refuses in names); empty for 0.
std::string UtcStamp(std::int64_t seconds);

}  // namespace qv
