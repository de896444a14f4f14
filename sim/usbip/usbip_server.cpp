#include "sim/usbip/usbip_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qv::sim::usbip {
namespace {

std::uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000;
}

// Closes a descriptor when it goes out of scope unless released.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string systemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void setNoDelay(int fd) {
  // Small request and reply frames must not wait for each other's
  // acknowledgements.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

UsbipServer::UsbipServer(Scene scene)
    : scene_(std::move(scene)), clock_(scene_.realClock), trace_(scene_.tracePath) {}

std::unique_ptr<UsbipServer> UsbipServer::open(const std::string& scenePath, std::string& error) {
  const std::filesystem::path path = std::filesystem::u8path(scenePath);
  std::string text;
  if (!readSceneText(path, scenePath, text, error)) return nullptr;
  return openText(text, path.parent_path().string(), scenePath, error);
}

std::unique_ptr<UsbipServer> UsbipServer::openText(const std::string& text,
                                                   const std::string& baseDir,
                                                   const std::string& displayName,
                                                   std::string& error) {
  std::optional<Scene> scene = parseScene(text, baseDir, displayName, error);
  if (!scene) return nullptr;
  std::unique_ptr<UsbipServer> server(new UsbipServer(std::move(*scene)));
  std::vector<std::vector<std::uint8_t>> contents;
  if (!loadAllFlashContents(server->scene_, displayName, contents, error)) return nullptr;
  for (std::size_t i = 0; i < server->scene_.cameras.size(); ++i) {
    auto camera = std::make_unique<Camera>();
    camera->model = std::make_unique<CameraModel>(
        i, server->scene_.cameras[i], std::move(contents[i]), server->clock_, server->trace_);
    camera->usb = std::make_unique<UsbCamera>(*camera->model, server->trace_);
    server->cameras_.push_back(std::move(camera));
  }
  // The cameras are in use from the start: the run's trace begins now.
  server->trace_.open();
  return server;
}

UsbipServer::~UsbipServer() {
  if (finished_) return;
  for (auto& camera : cameras_) {
    if (camera->fd >= 0) ::close(camera->fd);
    camera->fd = -1;
  }
}

bool UsbipServer::unpluggedFromStart(std::size_t camera) {
  const auto n = cameras_.at(camera)->usb->unplugAfter();
  return n && *n == 0;
}

void UsbipServer::serve(std::size_t index, int fd, std::uint32_t devid) {
  Camera& camera = *cameras_.at(index);
  if (camera.fd >= 0) ::close(camera.fd);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  camera.fd = fd;
  camera.flushDeadlineMs.reset();
  camera.link = std::make_unique<UsbipLink>(*camera.usb, devid);
}

int UsbipServer::attachOn(std::size_t index, const std::string& attachPath, std::uint32_t port,
                          std::string& error) {
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) {
    error = systemError("socket");
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    error = systemError("loopback listener");
    return -1;
  }
  Fd kernelEnd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (kernelEnd.get() < 0 ||
      ::connect(kernelEnd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = systemError("loopback connect");
    return -1;
  }
  Fd ours(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (ours.get() < 0) {
    error = systemError("loopback accept");
    return -1;
  }
  setNoDelay(kernelEnd.get());
  setNoDelay(ours.get());

  const std::uint32_t devid = devidOf(index);
  const std::uint32_t speed =
      cameras_.at(index)->model->config().usbSuperSpeed ? kSpeedSuper : kSpeedHigh;
  const std::string line = std::to_string(port) + " " + std::to_string(kernelEnd.get()) + " " +
                           std::to_string(devid) + " " + std::to_string(speed) + "\n";
  Fd file(::open(attachPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (file.get() < 0) {
    error = systemError(attachPath.c_str());
    return -1;
  }
  const ssize_t written = ::write(file.get(), line.data(), line.size());
  if (written == static_cast<ssize_t>(line.size())) {
    // The kernel holds its own reference to the socket now.
    serve(index, ours.release(), devid);
    Camera& camera = *cameras_.at(index);
    camera.attachPath = attachPath;
    camera.port = port;
    return 1;
  }
  // A port in use answers EBUSY.
  if (written < 0 && errno == EBUSY) return 0;
  error = written < 0 ? systemError(attachPath.c_str()) : attachPath + ": short write";
  return -1;
}

bool UsbipServer::attach(std::size_t index, const std::string& attachPath, std::uint32_t firstPort,
                         Attachment& out, std::string& error) {
  for (std::uint32_t port = firstPort; port < firstPort + kPortCount; ++port) {
    const int attached = attachOn(index, attachPath, port, error);
    if (attached < 0) return false;
    if (attached == 0) continue;  // busy: try the next one
    out.port = port;
    out.devid = devidOf(index);
    return true;
  }
  error = "no free port from " + std::to_string(firstPort);
  return false;
}

void UsbipServer::attachReturning() {
  const std::uint64_t now = monotonicMs();
  for (auto& owned : cameras_) {
    Camera& camera = *owned;
    if (!camera.returnAtMs || now < *camera.returnAtMs) continue;
    const std::size_t index = camera.model->index();
    std::string error;
    const int attached = attachOn(index, camera.attachPath, *camera.port, error);
    if (attached == 0 && now < camera.returnLimitMs) {
      // The kernel has not let go of the old device yet.
      camera.returnAtMs = now + kReturnRetryMs;
      continue;
    }
    camera.returnAtMs.reset();
    if (attached > 0) {
      std::fprintf(stderr, "qvusbcam: camera %zu attached again (port %u)\n", index, *camera.port);
    } else {
      if (attached == 0) error = "port " + std::to_string(*camera.port) + " still busy";
      std::fprintf(stderr, "qvusbcam: camera %zu did not come back: %s\n", index, error.c_str());
    }
  }
}

bool UsbipServer::serving() const {
  for (const auto& camera : cameras_) {
    if (camera->fd >= 0 || camera->returnAtMs) return true;
  }
  return false;
}

bool UsbipServer::served(std::size_t camera) const { return cameras_.at(camera)->fd >= 0; }

void UsbipServer::closeCamera(Camera& camera, const char* why) {
  if (camera.fd < 0) return;
  ::close(camera.fd);
  camera.fd = -1;
  std::fprintf(stderr, "qvusbcam: camera %zu detached (%s)\n", camera.model->index(), why);
}

void UsbipServer::dropOff(Camera& camera) {
  closeCamera(camera, "chip reset");
  // A camera that re-enumerates comes back on the same port as a new
  // device about a second later (the model's own figure); "never" stays off.
  if (camera.model->backAtNs() == CameraModel::kNeverBack || !camera.port) return;
  const std::uint64_t now = monotonicMs();
  camera.returnAtMs = now + kReenumerationNs / 1'000'000;
  camera.returnLimitMs = *camera.returnAtMs + kReturnLimitMs;
}

// Sends what the camera has to send without blocking. False when the
// connection failed.
bool UsbipServer::writeOut(Camera& camera) {
  while (!camera.link->output().empty()) {
    const auto out = camera.link->output();
    const ssize_t n = ::send(camera.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    camera.link->sent(static_cast<std::size_t>(n));
  }
  return true;
}

bool UsbipServer::pollOnce(int timeoutMs, const sigset_t* signalMask) {
  std::vector<pollfd>& fds = pollFds_;
  std::vector<Camera*>& owners = pollOwners_;
  fds.clear();
  owners.clear();
  const std::uint64_t now = monotonicMs();
  for (auto& camera : cameras_) {
    if (camera->fd < 0) continue;
    pollfd p{camera->fd, 0, 0};
    if (!camera->link->receiveSpace().empty()) p.events |= POLLIN;
    if (!camera->link->output().empty()) p.events |= POLLOUT;
    if (camera->flushDeadlineMs) {
      const std::uint64_t left =
          *camera->flushDeadlineMs > now ? *camera->flushDeadlineMs - now : 0;
      if (timeoutMs < 0 || left < static_cast<std::uint64_t>(timeoutMs)) {
        timeoutMs = static_cast<int>(left);
      }
    }
    fds.push_back(p);
    owners.push_back(camera.get());
  }
  for (auto& camera : cameras_) {
    if (!camera->returnAtMs) continue;
    const std::uint64_t left = *camera->returnAtMs > now ? *camera->returnAtMs - now : 0;
    if (timeoutMs < 0 || left < static_cast<std::uint64_t>(timeoutMs)) {
      timeoutMs = static_cast<int>(left);
    }
  }
  if (!serving()) return false;

  timespec wait{};
  if (timeoutMs >= 0) {
    wait.tv_sec = timeoutMs / 1000;
    wait.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1'000'000;
  }
  const int ready = ::ppoll(fds.data(), fds.size(), timeoutMs >= 0 ? &wait : nullptr, signalMask);
  if (ready < 0) return true;  // a signal: the caller decides

  for (std::size_t i = 0; i < fds.size(); ++i) {
    Camera& camera = *owners[i];
    const short events = fds[i].revents;
    if ((events & POLLIN) != 0) {
      const auto space = camera.link->receiveSpace();
      const ssize_t n = ::recv(camera.fd, space.data(), space.size(), MSG_DONTWAIT);
      if (n == 0) {
        closeCamera(camera, "the host closed the connection");
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        closeCamera(camera, std::strerror(errno));
        continue;
      }
      if (n > 0) camera.link->received(static_cast<std::size_t>(n));
    } else if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      closeCamera(camera, "connection lost");
      continue;
    }
    if (!writeOut(camera)) {
      closeCamera(camera, "connection lost");
      continue;
    }
    if (camera.link->state() == UsbipLink::State::Broken) {
      const std::string why = "not USB/IP: " + camera.link->problem();
      closeCamera(camera, why.c_str());
    } else if (camera.link->state() == UsbipLink::State::Unplugging) {
      // The last reply gets a bounded time to leave, then the cable is out.
      if (!camera.flushDeadlineMs) camera.flushDeadlineMs = monotonicMs() + kDrainMs;
      if (camera.link->finished() || monotonicMs() >= *camera.flushDeadlineMs) {
        if (camera.usb->droppedOff() && !camera.usb->unplugDue()) {
          dropOff(camera);
        } else {
          closeCamera(camera, "unplugged");
        }
      }
    }
  }
  attachReturning();
  return serving();
}

bool UsbipServer::finish(bool normalEnd) {
  if (finished_) return false;
  finished_ = true;
  // Replies already made get a bounded time to leave; a dead peer cannot
  // hold the exit.
  const std::uint64_t deadline = monotonicMs() + kDrainMs;
  for (auto& camera : cameras_) {
    if (camera->fd < 0) continue;
    while (!camera->link->output().empty() && monotonicMs() < deadline) {
      pollfd p{camera->fd, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(deadline - monotonicMs())) <= 0) break;
      if (!writeOut(*camera)) break;
    }
    closeCamera(*camera, "server stopped");
  }
  if (normalEnd) trace_.line("END " + std::to_string(clock_.nowUs()));
  trace_.flush();
  bool ok = trace_.fileOk();
  for (auto& camera : cameras_) {
    const auto& file = camera->model->config().flashFile;
    if (!file) continue;
    std::ofstream out(std::filesystem::u8path(*file), std::ios::binary | std::ios::trunc);
    const auto contents = camera->model->flash();
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out) ok = false;
  }
  return ok;
}

}  // namespace qv::sim::usbip
