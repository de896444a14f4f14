// The history of what was written: appended by every run that writes a
// camera, read back by --history.
#include "app/history.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "app/backup_file.h"
#include "platform/failure_notes.h"

namespace qv {

namespace {

using Json = nlohmann::ordered_json;

// No line the tool writes comes near this: paths and IDs are short.
constexpr std::size_t kLongestLine = 16384;

Json textOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// Text for a table cell: printable ASCII kept, anything else '?' (a hand-
// edited line must not move the terminal's cursor).
std::string cell(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    out.push_back(u >= 0x20 && u < 0x7F ? c : '?');
  }
  return out.empty() ? "-" : out;
}

}  // namespace

std::string HistoryLine(const HistoryEntry& e) {
  const Json json{{"time", e.time},
                  {"tool_version", e.toolVersion},
                  {"camera_id", textOrNull(e.cameraId)},
                  {"usb", textOrNull(e.usb)},
                  {"chip_family", e.chipFamily ? Json(*e.chipFamily) : Json(nullptr)},
                  {"part", textOrNull(e.part)},
                  {"action", e.action},
                  {"result", e.result},
                  {"sha256_before", textOrNull(e.sha256Before)},
                  {"sha256_after", textOrNull(e.sha256After)},
                  {"span", e.span ? Json(*e.span) : Json(nullptr)},
                  {"backup", textOrNull(e.backup)}};
  // Text from the platform that is not UTF-8 is replaced, never thrown on.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool ParseHistoryLine(std::string_view line, HistoryEntry& entry, std::string& why) {
  if (line.size() > kLongestLine) {
    why = "longer than any line qvflash writes";
    return false;
  }
  const Json json = Json::parse(line, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    why = "not a JSON object";
    return false;
  }
  HistoryEntry read;
  // A text field: absent or null is empty; anything but text is refused.
  const auto text = [&](const char* name, std::string& to, bool required) {
    const auto it = json.find(name);
    if (it == json.end() || it->is_null()) return !required;
    if (!it->is_string()) return false;
    to = it->get<std::string>();
    return !required || !to.empty();
  };
  const auto number = [&](const char* name, std::optional<std::uint32_t>& to) {
    const auto it = json.find(name);
    if (it == json.end() || it->is_null()) return true;
    if (!it->is_number_unsigned() || it->get<std::uint64_t>() > 0xFFFFFFFFu) return false;
    to = static_cast<std::uint32_t>(it->get<std::uint64_t>());
    return true;
  };
  if (!text("time", read.time, true) || !text("action", read.action, true) ||
      !text("result", read.result, true)) {
    why = "\"time\", \"action\" or \"result\" is missing or not text";
    return false;
  }
  if (!text("tool_version", read.toolVersion, false) || !text("camera_id", read.cameraId, false) ||
      !text("usb", read.usb, false) || !text("part", read.part, false) ||
      !text("sha256_before", read.sha256Before, false) ||
      !text("sha256_after", read.sha256After, false) || !text("backup", read.backup, false) ||
      !number("chip_family", read.chipFamily) || !number("span", read.span)) {
    why = "a field is not what it should be";
    return false;
  }
  entry = std::move(read);
  return true;
}

HistoryRead ParseHistory(std::string_view text) {
  HistoryRead read;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const bool whole = end != std::string_view::npos;
    std::string_view line = text.substr(0, whole ? end : text.size());
    text.remove_prefix(whole ? end + 1 : text.size());
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    HistoryEntry entry;
    std::string why;
    if (!ParseHistoryLine(line, entry, why)) {
      read.skipped.push_back("line " + std::to_string(number) + ": " +
                             (whole ? why : "cut off while it was written"));
      continue;
    }
    read.entries.push_back(std::move(entry));
  }
  return read;
}

std::string HistoryTable(const std::vector<HistoryEntry>& entries) {
  constexpr std::size_t kColumns = 10;
  using Row = std::array<std::string, kColumns>;
  std::vector<Row> rows;
  rows.push_back({"TIME", "CAMERA_ID", "USB", "FAMILY", "PART", "ACTION", "RESULT", "BEFORE",
                  "AFTER", "BACKUP"});
  // A digest is told apart by its first 8 digits, as backup names do.
  const auto shortSha = [](const std::string& sha) { return cell(sha.substr(0, 8)); };
  for (const HistoryEntry& e : entries) {
    rows.push_back({cell(e.time), cell(e.cameraId), cell(e.usb),
                    e.chipFamily ? std::to_string(*e.chipFamily) : "-", cell(e.part),
                    cell(e.action), cell(e.result), shortSha(e.sha256Before),
                    shortSha(e.sha256After), cell(e.backup)});
  }
  std::array<std::size_t, kColumns> widths{};
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < kColumns; ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (const Row& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < kColumns; ++i) {
      line += row[i];
      if (i + 1 < kColumns) line.append(widths[i] - row[i].size() + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

bool AppendHistory(IFileSystem& files, const HistoryEntry& entry, std::wstring& path) {
  std::wstring folder;
  if (!KeptFilesFolder(files, {}, folder)) return false;
  path = folder + std::wstring(kHistoryFileName);
  return files.AppendLine(path, HistoryLine(entry));
}

}  // namespace qv
