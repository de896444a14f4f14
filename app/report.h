#pragma once
// The JSON report of a run (--json FILE): the tool, the embedded firmware,
// what happened to each camera and how the run ended. docs/report.md holds
// the schema.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_record.h"

namespace qv {

// Raised whenever a field changes meaning or goes away (added fields keep it).
inline constexpr int kReportSchemaVersion = 1;

struct RunReport {
  std::string mode;  // "update", "list", "check", "dump" or "restore"
  bool ifNeeded = false;
  bool all = false;
  bool verify = false;
  bool dryRun = false;
  std::string dumpFile;     // dump mode: the file written (UTF-8)
  std::string restoreFile;  // restore mode: the backup written back (UTF-8)
  std::vector<CameraRecord> cameras;
  int exitCode = 1;  // the contract's code, before --retry-code maps it
  // Why the run failed (the reason told on standard error): code and words;
  // empty when it did not.
  std::string reasonCode;
  std::string reason;
  std::string host;  // the computer's name; empty when not known
  // The run's start and end, seconds since 1970 UTC (0: not known).
  std::int64_t startedUtc = 0;
  std::int64_t endedUtc = 0;
};

// The report as JSON text (UTF-8, two-space indented, one line end at the end).
std::string ReportJson(const RunReport& report, std::span<const FirmwareSummary> firmware,
                       std::string_view version);

}  // namespace qv
