#pragma once
// The JSON report of a run (--json FILE): the tool, the embedded firmware,
// what happened to each camera and how the run ended. docs/report.md holds
// the schema.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_record.h"

namespace qv {

// Raised whenever a field changes meaning or goes away (added fields keep it).
inline constexpr int kReportSchemaVersion = 1;

struct RunReport {
  std::string mode;  // "update", "list", "dump" or "restore"
  bool ifNeeded = false;
  bool all = false;
  bool verify = false;
  bool dryRun = false;
  std::string dumpFile;     // dump mode: the file written (UTF-8)
  std::string restoreFile;  // restore mode: the backup written back (UTF-8)
  std::vector<CameraRecord> cameras;
  int exitCode = 1;
};

// The report as JSON text (UTF-8, two-space indented, one line end at the end).
std::string ReportJson(const RunReport& report, std::span<const FirmwareSummary> firmware,
                       std::string_view version);

}  // namespace qv
