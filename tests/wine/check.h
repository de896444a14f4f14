#pragma once
// A minimal check harness for the programs that run under Wine (GoogleTest is
// not cross-built): each failed check prints its place; the summary line
// reads "N passed, M failed" and the exit code is 0 only when none failed.

#include <cstdio>

namespace qv::wine_checks {

struct Tally {
  int passed = 0;
  int failed = 0;
};
inline Tally& tally() {
  static Tally t;
  return t;
}

inline bool record(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++tally().passed;
  } else {
    ++tally().failed;
    std::fprintf(stderr, "FAILED %s:%d: %s\n", file, line, what);
  }
  return ok;
}

inline int summary(const char* name) {
  std::printf("%s: %d passed, %d failed\n", name, tally().passed, tally().failed);
  std::fflush(stdout);
  return tally().failed == 0 ? 0 : 1;
}

}  // namespace qv::wine_checks

#define CHECK(cond) ::qv::wine_checks::record(static_cast<bool>(cond), #cond, __FILE__, __LINE__)
