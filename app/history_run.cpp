// --history: what earlier runs wrote, from the history file.
#include <memory>
#include <new>

#include "app/history.h"
#include "app/update_job.h"
#include "platform/failure_notes.h"
#include "platform/file_places.h"

namespace qv {

// A history larger than this is not read whole: years of daily updates of
// a fleet's cameras stay far below it.
constexpr std::size_t kLargestHistory = 64u << 20;

int CFrontEnd::RunHistory(const CameraOptions& options) {
  runNotes().clear();
  std::wstring folder;
  const bool asJson = options.jsonFile.has_value();
  // Reading creates nothing: the state folder's own name when it is not
  // there yet.
  std::wstring state;
  FilePlace place{};
  if (platform_.files.StateFolder(state)) {
    folder = std::move(state);
  } else if (!ToolFolder(platform_.files, folder, place)) {
    platform_.console.WriteError("qvflash: the folder of the history is unknown\n");
    return kExitFailed;
  }
  const std::wstring path = folder + std::wstring(kHistoryFileName);
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kLargestHistory]);
  std::size_t length = 0;
  const IFileSystem::ReadResult read =
      buffer == nullptr ? IFileSystem::ReadResult::ReadError
                        : platform_.files.ReadFile(
                              path, std::span<std::uint8_t>(buffer.get(), kLargestHistory), length);
  const std::string where = platform_.files.PathForMessage(path);
  if (read == IFileSystem::ReadResult::CannotOpen) {
    // No run has written a camera here yet: an empty history.
    runNotes().clear();
    platform_.console.WriteError("qvflash: no history yet (" + where + ")\n");
    if (!asJson) platform_.console.WriteNarrow(HistoryTable({}));
    return kExitDone;
  }
  if (read != IFileSystem::ReadResult::Ok) {
    platform_.console.WriteError(
        "qvflash: the history could not be read (" + where +
        (read == IFileSystem::ReadResult::TooLong ? ": larger than 64 MB" : "") + ")\n");
    return kExitFailed;
  }
  const HistoryRead history =
      ParseHistory(std::string_view(reinterpret_cast<const char*>(buffer.get()), length));
  // A line passed over is told, and the rest shown: one damaged line must
  // not hide what the others say.
  for (const std::string& skipped : history.skipped)
    platform_.console.WriteError("qvflash: " + where + ", " + skipped + "; passed over\n");
  if (asJson) {
    for (const HistoryEntry& entry : history.entries)
      platform_.console.WriteNarrow(HistoryLine(entry));
  } else {
    platform_.console.WriteNarrow(HistoryTable(history.entries));
  }
  return kExitDone;
}

}  // namespace qv
