// The long options that work on cameras.
#include "app/camera_options.h"

namespace qv {

CameraOptions CameraOptionsOf(const CommandLine& line) {
  CameraOptions options;
  const OptionSet& o = line.options;
  options.list = o.has(LongOption::List);
  options.ifNeeded = o.has(LongOption::IfNeeded);
  options.all = o.has(LongOption::All);
  options.verify = o.has(LongOption::Verify);
  options.dryRun = o.has(LongOption::DryRun);
  if (o.has(LongOption::Dump)) options.dumpFile = line.dumpFile;
  if (o.has(LongOption::Json)) options.jsonFile = line.jsonFile;
  if (o.has(LongOption::Camera)) options.cameraId = line.cameraId;
  if (o.has(LongOption::Backup)) options.backupFile = line.backupFile;
  options.noBackup = o.has(LongOption::NoBackup);
  if (o.has(LongOption::Restore)) options.restoreFile = line.restoreFile;
  options.force = o.has(LongOption::Force);
  options.history = o.has(LongOption::History);
  options.check = o.has(LongOption::Check);
  if (o.has(LongOption::RetryCode)) options.retryCode = line.retryCode;
  return options;
}

}  // namespace qv
