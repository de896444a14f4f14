// Entry point: builds the platform (the host's services, or the simulated
// camera stack when QVFLASH_SIM names a scene file) and runs the tool.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/update_job.h"
#include "platform/host.h"
#include "platform/sim/sim_session.h"

namespace {

// The switches are ASCII; each byte of an argument becomes one wide
// character, so a non-ASCII argument never compares equal to one.
std::vector<std::wstring> WidenArguments(int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg;
    for (const char* p = argv[i]; *p != '\0'; ++p) {
      arg.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::wstring> args = WidenArguments(argc, argv);
  const std::unique_ptr<qv::HostPlatform> host = qv::createHostPlatform();
  const qv::Platform hostPlatform = host->platform();

  // The usage and the version need no camera: a scene file is not even read.
  const char* scene = std::getenv("QVFLASH_SIM");
  if (scene == nullptr || qv::InformationRequestOf(args) != qv::InformationRequest::None)
    return qv::RunQvflash(args, hostPlatform);

  std::string error;
  std::unique_ptr<qv::sim::SimSession> session = qv::sim::SimSession::Open(scene, error);
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
