#pragma once
// The one place where a kernel errno becomes the HRESULT the logic sees, as
// the Windows Kernel Streaming / USB video class stack would report the same
// condition (each row and its reason in os_error.cpp).

#include <span>

#include "base/hresult.h"

namespace qv::linux_host {

struct ErrnoMapping {
  int error;
  HResult result;
};

// The table itself, for the tests to walk row by row.
std::span<const ErrnoMapping> errnoMappings();

// 0 gives S_OK; any other errno a failure (E_FAIL for one not in the table).
HResult hresultFromErrno(int error);

}  // namespace qv::linux_host
