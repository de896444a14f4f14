#pragma once
// The one place for kernel errnos: their names, and the HRESULT the logic
// sees for each, as the Windows Kernel Streaming / USB video class stack
// would report the same condition (each row and its reason in os_error.cpp).

#include <span>
#include <string_view>

#include "base/hresult.h"
#include "platform/failure_notes.h"

namespace qv::linux_host {

struct ErrnoMapping {
  int error;
  std::string_view name;  // the errno's symbolic name, "EPIPE"
  HResult result;
};

// The table itself, for the tests to walk row by row.
std::span<const ErrnoMapping> errnoMappings();

// 0 gives S_OK; any other errno a failure (E_FAIL for one not in the table).
HResult hresultFromErrno(int error);

// The errno's symbolic name from the same table ("EPROTO"); empty for one
// not in it. A static text.
std::string_view errnoName(int error);

// Why a file of the tool could not be written, from the errno of the failed
// call and whether a folder sits at the file's path.
FailureKind fileNotWrittenKind(int error, bool folderAtPath);

}  // namespace qv::linux_host
