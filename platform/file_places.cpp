#include "platform/file_places.h"

#include "platform/failure_notes.h"

namespace qv {

bool FitsPathLimit(const IFileSystem& files, const std::wstring& path) {
  const std::size_t limit = files.PathLimit();
  return limit == 0 || path.size() + 1 <= limit;
}

bool ToolFolder(IFileSystem& files, std::wstring& folder, FilePlace& place) {
  const wchar_t separator = files.PathSeparator();
  std::wstring executable;
  if (!files.ExecutablePath(executable)) return false;
  const std::size_t cut = executable.rfind(separator);
  if (cut == std::wstring::npos) return false;
  executable.resize(cut + 1);
  // The folder as the system names it, without its last separator (a root
  // folder keeps its own).
  const std::wstring bare =
      cut == 0 || executable[cut - 1] == L':' ? executable : executable.substr(0, cut);
  if (!files.IsInstalledProgramFolder(bare)) {
    folder = std::move(executable);
    place = FilePlace::BesideExecutable;
    return true;
  }
  std::wstring current;
  if (!files.CurrentDirectory(current) || current.empty()) return false;
  if (current.back() != separator) current.push_back(separator);
  folder = std::move(current);
  place = FilePlace::CurrentDirectory;
  return true;
}

bool ToolFilePath(IFileSystem& files, std::wstring_view name, std::wstring& path,
                  FilePlace& place) {
  std::wstring result;
  FilePlace where{};
  if (!ToolFolder(files, result, where)) {
    runNotes().note(FailureKind::FileNotWritten, files.PathForMessage(std::wstring(name)) +
                                                     ": the folder of qvflash is unknown");
    return false;
  }
  result.append(name);
  if (!FitsPathLimit(files, result)) {
    runNotes().note(FailureKind::PathTooLong,
                    files.PathForMessage(result) + ": " + std::to_string(result.size()) +
                        " characters, at most " + std::to_string(files.PathLimit() - 1) + " fit");
    return false;
  }
  path = std::move(result);
  place = where;
  return true;
}

}  // namespace qv
