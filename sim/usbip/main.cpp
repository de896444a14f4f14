// qvusbcam: serves the cameras of a scene file as USB video devices over
// USB/IP, so the kernel's own UVC driver talks to the simulated chip.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/usbip/usbip_server.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

int usage() {
  std::fprintf(stderr,
               "usage: qvusbcam [--attach <attach file>] [--first-port <n>] "
               "[--ready-file <file>] <scene.json>\n");
  return 2;
}

bool parsePort(const char* text, std::uint32_t& port) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v > 1000) return false;
  port = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qv::sim::usbip;
  std::string attachPath = kDefaultAttachPath;
  std::string readyFile;
  std::string scenePath;
  std::uint32_t firstPort = kFirstPort;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--attach" || arg == "--ready-file" || arg == "--first-port") && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--attach") {
        attachPath = value;
      } else if (arg == "--ready-file") {
        readyFile = value;
      } else if (!parsePort(value, firstPort)) {
        return usage();
      }
    } else if (!arg.empty() && arg[0] != '-' && scenePath.empty()) {
      scenePath = arg;
    } else {
      return usage();
    }
  }
  if (scenePath.empty()) return usage();

  std::string error;
  auto server = UsbipServer::open(scenePath, error);
  if (!server) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  // SIGTERM and SIGINT are taken only while the loop waits, so a request
  // in progress is always answered and traced completely.
  sigset_t stopSignals;
  sigset_t waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::uint32_t nextPort[2] = {firstPort, firstPort};
  for (std::size_t i = 0; i < server->cameraCount(); ++i) {
    if (server->unpluggedFromStart(i)) {
      std::printf("camera %zu unplugged\n", i);
      continue;
    }
    // Ports are counted per root hub: the high-speed and the super-speed
    // hub each start at the first port.
    std::uint32_t& next = nextPort[server->model(i).config().usbSuperSpeed ? 1 : 0];
    Attachment attachment;
    if (!server->attach(i, attachPath, next, attachment, error)) {
      std::fprintf(stderr, "qvusbcam: camera %zu: %s\n", i, error.c_str());
      server->finish(false);
      return 1;
    }
    std::printf("camera %zu port %u devid %u\n", i, attachment.port, attachment.devid);
    next = attachment.port + 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  if (!readyFile.empty()) {
    std::ofstream ready(readyFile, std::ios::trunc);
    ready << "ready\n";
  }

  while (stopRequested == 0 && server->pollOnce(-1, &waitMask)) {
  }
  return server->finish() ? 0 : 1;
}
