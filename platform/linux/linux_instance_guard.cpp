#include "platform/linux/linux_instance_guard.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/linux/wide_text.h"

namespace qv::linux_host {

namespace {
// Keeps the guard apart from abstract sockets of other programs.
constexpr char kNamePrefix[] = "qvflash-instance-guard:";
}  // namespace

LinuxInstanceGuard::~LinuxInstanceGuard() {
  if (socket_ >= 0) ::close(socket_);
}

IInstanceGuard::Result LinuxInstanceGuard::Create(std::wstring_view name) {
  std::string utf8;
  if (!WideToUtf8(name, utf8)) return Result::Error;
  const std::string full = kNamePrefix + utf8;

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract namespace: a leading NUL, then the name (not NUL-terminated).
  if (full.size() + 1 > sizeof address.sun_path) return Result::Error;
  address.sun_path[0] = '\0';
  std::memcpy(address.sun_path + 1, full.data(), full.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());

  // Close-on-exec: a child this process starts must not hold the guard.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Result::Error;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    ::close(fd);
    return error == EADDRINUSE ? Result::AlreadyExists : Result::Error;
  }
  if (socket_ >= 0) ::close(socket_);
  socket_ = fd;
  return Result::Created;
}

}  // namespace qv::linux_host
