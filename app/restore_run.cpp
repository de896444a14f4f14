// --restore FILE: a backup written back to the camera it came from.
#include "app/update_job.h"

namespace qv {

int CFrontEnd::RunRestore(const CameraOptions& /*options*/) {
  platform_.console.WriteError("qvflash: --restore is not available yet; nothing was done\n");
  return kUsageExitCode;
}

}  // namespace qv
