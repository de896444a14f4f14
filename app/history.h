#pragma once
// The history: one JSON line per camera per run that wrote or tried to write
// it, appended to history.jsonl in the folder of the kept files (see
// KeptFilesFolder). It is only ever appended to, and read back by
// --history; a line a reader cannot take (cut off by a crash, edited by
// hand) is passed over with its reason, never trusted.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_services.h"

namespace qv {

// The history's file name in the folder of the kept files.
inline constexpr std::wstring_view kHistoryFileName = L"history.jsonl";

struct HistoryEntry {
  std::string time;         // UTC, "2026-12-09T09:30:44Z"; empty: not known
  std::string toolVersion;  // the qvflash that wrote it
  std::string cameraId;     // empty: the system did not name it
  std::string usb;          // "04F2:B5BD" (vendor:product); empty: not read
  std::optional<std::uint32_t> chipFamily;
  std::string part;    // the flash part's name; empty: not identified
  std::string action;  // what was done, as the report names it ("updated", "refused")
  std::string result;  // "pass" or "fail"
  // SHA-256 of the flash before and after over `span` bytes from address 0
  // (the backup's span where one was made, else the firmware image's);
  // empty: not read.
  std::string sha256Before;
  std::string sha256After;
  std::optional<std::uint32_t> span;
  std::string backup;  // the backup file's path; empty: none was made
};

// The entry as one line of JSON, its line end included.
std::string HistoryLine(const HistoryEntry& entry);

// One line of the history (no line end). False, with `why`, when it is not
// an entry: not a JSON object, "time", "action" or "result" missing or not
// text, another field of the wrong type, text longer than a line of the
// tool's own ever is.
bool ParseHistoryLine(std::string_view line, HistoryEntry& entry, std::string& why);

struct HistoryRead {
  std::vector<HistoryEntry> entries;
  // Lines passed over: "line N: why".
  std::vector<std::string> skipped;
};
// Every line of a history file's text; empty lines are no entries. A last
// line without its line end was cut off while it was written.
HistoryRead ParseHistory(std::string_view text);

// The entries as a table for a person, a header line first.
std::string HistoryTable(const std::vector<HistoryEntry>& entries);

// Appends the entry to the history. False (and the run's notes as before)
// when it could not: the caller warns, and goes on.
bool AppendHistory(IFileSystem& files, const HistoryEntry& entry, std::wstring& path);

}  // namespace qv
