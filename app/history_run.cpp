// --history: what earlier runs wrote, from the history file.
#include "app/update_job.h"

namespace qv {

int CFrontEnd::RunHistory(const CameraOptions& /*options*/) {
  platform_.console.WriteError("qvflash: --history is not available yet; nothing was done\n");
  return kUsageExitCode;
}

}  // namespace qv
