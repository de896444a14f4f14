// Entry point: builds the platform (the host's services, or the simulated
// camera stack when QVFLASH_SIM names a scene file) and runs the tool.
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/options.h"
#include "app/update_job.h"
#include "platform/host.h"
#include "platform/sim/sim_session.h"

namespace {

int runTool(int argc, char** argv) {
  // Held for the whole run: a write to the camera must not be cut short by
  // the keyboard or the terminal, and a closed pipe never ends the process.
  const std::unique_ptr<qv::IWriteGuard> writeGuard = qv::createHostWriteGuard();
  qv::setWriteGuard(writeGuard.get());
  struct Uninstall {
    ~Uninstall() { qv::setWriteGuard(nullptr); }
  } uninstall;
  const std::vector<std::wstring> args = qv::commandLineArguments(argc, argv);
  const std::unique_ptr<qv::HostPlatform> host = qv::createHostPlatform();
  const qv::Platform hostPlatform = host->platform();

  // A command line that asks nothing of a camera (the usage, the version, a
  // refusal) does not even read a scene file.
  const std::optional<std::filesystem::path> scene = qv::environmentPath("QVFLASH_SIM");
  if (!scene || !qv::NeedsCameras(qv::ParseCommandLine(args)))
    return qv::RunQvflash(args, hostPlatform);

  std::string error;
  std::unique_ptr<qv::sim::SimSession> session = qv::sim::SimSession::OpenFile(*scene, error);
  if (session == nullptr) {
    // Nothing has been sent to any camera.
    hostPlatform.console.WriteError(error + "\n");
    hostPlatform.console.WriteWide(qv::msg::kFail);
    return 1;
  }
  const qv::Platform simPlatform{session->cameras(),         session->registry(),
                                 session->clock(),           hostPlatform.files,
                                 hostPlatform.resources,     hostPlatform.profile,
                                 hostPlatform.instanceGuard, hostPlatform.console};
  const int result = qv::RunQvflash(args, simPlatform);
  session->Finish();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // The logic reports failures by status; what still throws (no memory) ends
  // the run as a failure of its own, never in std::terminate.
  try {
    return runTool(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fputs("unexpected failure\n", stderr);
  }
  std::fputs("Fail", stdout);
  std::fflush(stdout);
  return 1;
}
