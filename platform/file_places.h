#pragma once
// Where the tool keeps its files (Dump.bin, the image copy tmp, setting.ini).
// A portable copy keeps them beside its executable. An installed copy
// (/usr/bin, Program Files) may not write there, and must not litter a
// folder the package manager owns: its files go to the current directory,
// where the person running it is working.

#include <string>
#include <string_view>

#include "platform/os_services.h"

namespace qv {

enum class FilePlace {
  BesideExecutable,  // the executable's folder
  CurrentDirectory,  // the current directory (an installed copy)
};

// The folder the tool's files go to in this run, ending with the platform's
// separator, and which of the two places it is. False when the executable
// path cannot be read, or the current directory when it is needed.
bool ToolFolder(IFileSystem& files, std::wstring& folder, FilePlace& place);

// `name` in the tool's folder. False as for ToolFolder, and when the path
// does not fit the platform's path limit with its terminator (a path is
// never cut short); the run's notes then say which.
bool ToolFilePath(IFileSystem& files, std::wstring_view name, std::wstring& path, FilePlace& place);

// The path and the limit: true when `path` with its terminator fits.
bool FitsPathLimit(const IFileSystem& files, const std::wstring& path);

}  // namespace qv
