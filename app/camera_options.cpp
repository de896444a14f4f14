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
  return options;
}

}  // namespace qv
