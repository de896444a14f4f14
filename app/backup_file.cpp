// The sidecar of a backup: written by the backup, read by a restore (a file
// a person hands in: nothing in it is trusted until checked).
#include "app/backup_file.h"

#include <nlohmann/json.hpp>

#include "app/utc_time.h"
#include "flash/flash_tables.h"
#include "platform/failure_notes.h"
#include "platform/file_places.h"

namespace qv {

namespace {
using Json = nlohmann::ordered_json;

bool isSha256Text(const std::string& text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}
}  // namespace

std::string SidecarJson(const BackupSidecar& s) {
  const Json json{{"format", "qvflash backup"},
                  {"camera_id", s.cameraId.empty() ? Json(nullptr) : Json(s.cameraId)},
                  {"chip_family", s.family},
                  {"part", s.part},
                  {"flash_type", s.flashType},
                  {"size", s.size},
                  {"sha256", s.sha256},
                  {"time", s.time.empty() ? Json(nullptr) : Json(s.time)},
                  {"tool_version", s.toolVersion}};
  // Text from the platform that is not UTF-8 is replaced, never thrown on.
  return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool ParseSidecar(std::string_view text, BackupSidecar& sidecar, std::string& why) {
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    why = "not a sidecar (not a JSON object)";
    return false;
  }
  const auto field = [&](const char* name) -> const Json* {
    const auto it = json.find(name);
    return it == json.end() ? nullptr : &*it;
  };
  const Json* format = field("format");
  const Json* family = field("chip_family");
  const Json* part = field("part");
  const Json* type = field("flash_type");
  const Json* size = field("size");
  const Json* sha = field("sha256");
  if (format == nullptr || !format->is_string() || *format != "qvflash backup") {
    why = "not a qvflash backup sidecar";
    return false;
  }
  if (family == nullptr || !family->is_number_unsigned() || part == nullptr || !part->is_string() ||
      type == nullptr || !type->is_number_unsigned() || size == nullptr ||
      !size->is_number_unsigned() || sha == nullptr || !sha->is_string()) {
    why = "a field of the sidecar is missing or not what it should be";
    return false;
  }
  BackupSidecar read;
  const auto familyValue = family->get<std::uint64_t>();
  const auto typeValue = type->get<std::uint64_t>();
  const auto sizeValue = size->get<std::uint64_t>();
  if (familyValue < 102 || familyValue > 108) {
    why = "the sidecar names no chip family qvflash knows";
    return false;
  }
  const std::string_view known =
      typeValue <= 0xFF ? FlashPartName(static_cast<std::uint8_t>(typeValue)) : std::string_view();
  if (known.empty() || part->get<std::string>() != known) {
    why = "the sidecar names no flash part qvflash knows";
    return false;
  }
  if (sizeValue == 0 || sizeValue > kBackupSpanLimit || sizeValue % kBackupSectorSize != 0) {
    why = "the sidecar's size is not whole 4 KB sectors of at most 64 KB";
    return false;
  }
  read.sha256 = sha->get<std::string>();
  if (!isSha256Text(read.sha256)) {
    why = "the sidecar's SHA-256 is not 64 hexadecimal digits";
    return false;
  }
  read.family = static_cast<ChipFamily>(familyValue);
  read.flashType = static_cast<std::uint8_t>(typeValue);
  read.part = part->get<std::string>();
  read.size = static_cast<std::uint32_t>(sizeValue);
  if (const Json* id = field("camera_id"); id != nullptr && id->is_string())
    read.cameraId = id->get<std::string>();
  if (const Json* time = field("time"); time != nullptr && time->is_string())
    read.time = time->get<std::string>();
  if (const Json* version = field("tool_version"); version != nullptr && version->is_string())
    read.toolVersion = version->get<std::string>();
  sidecar = read;
  return true;
}

bool KeptFilesFolder(IFileSystem& files, std::wstring_view subfolder, std::wstring& folder) {
  std::wstring state;
  if (files.StateFolder(state)) {
    if (!subfolder.empty()) {
      state.append(subfolder);
      state.push_back(files.PathSeparator());
    }
    if (!files.CreateFolders(state)) return false;
    folder = std::move(state);
    return true;
  }
  FilePlace place{};
  if (!ToolFolder(files, folder, place)) {
    runNotes().note(FailureKind::FileNotWritten, "the folder of qvflash is unknown");
    return false;
  }
  return true;
}

std::wstring BackupFileName(std::string_view cameraId, std::int64_t utcSeconds,
                            std::string_view sha256) {
  std::wstring name;
  for (const char c : cameraId) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    // Runs of other characters ("\\", "&") become one '-'.
    if (kept) {
      name.push_back(static_cast<wchar_t>(c));
    } else if (!name.empty() && name.back() != L'-') {
      name.push_back(L'-');
    }
  }
  // A name of dots only would name a folder.
  if (name.find_first_not_of(L".-") == std::wstring::npos) name = L"camera";
  // Room for the rest within the shortest path limit (Windows: 260).
  if (name.size() > 64) name.resize(64);
  const std::string stamp = UtcStamp(utcSeconds);
  name += L'_';
  name.append(stamp.empty() ? std::wstring(L"unknown-time")
                            : std::wstring(stamp.begin(), stamp.end()));
  name += L'_';
  const std::string_view digits = sha256.substr(0, 8);
  name.append(digits.begin(), digits.end());
  name += L".bin";
  return name;
}

}  // namespace qv
