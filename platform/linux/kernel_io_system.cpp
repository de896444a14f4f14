// The kernel calls behind KernelIo on the running system.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "platform/linux/kernel_io.h"

namespace qv::linux_host {

int SystemKernelIo::openDevice(const std::string& path, int& error) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  error = fd < 0 ? errno : 0;
  return fd;
}

void SystemKernelIo::closeDevice(int fd) { ::close(fd); }

int SystemKernelIo::ioctl(int fd, unsigned long request, void* argument, int& value) {
  // An interrupted ioctl has not reached the device (uvcvideo waits for its
  // control lock interruptibly, before any transfer): asking again is safe.
  for (;;) {
    const int result = ::ioctl(fd, request, argument);
    if (result >= 0) {
      value = result;
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int SystemKernelIo::deviceNumber(int fd, std::string& number) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return errno;
  if (!S_ISCHR(status.st_mode)) return ENODEV;
  number = std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
  return 0;
}

bool SystemKernelIo::readFile(const std::string& path, std::string& contents, std::size_t limit) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  contents.clear();
  char chunk[4096];
  bool ok = true;
  while (contents.size() < limit) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    contents.append(chunk,
                    std::min<std::size_t>(static_cast<std::size_t>(n), limit - contents.size()));
  }
  ::close(fd);
  return ok;
}

bool SystemKernelIo::writeFile(const std::string& path, const std::string& contents) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  ssize_t n = -1;
  do {
    n = ::write(fd, contents.data(), contents.size());
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == static_cast<ssize_t>(contents.size());
}

bool SystemKernelIo::listFolder(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return true;
}

bool SystemKernelIo::resolvePath(const std::string& path, std::string& resolved) {
  std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), ::free);
  if (!real) return false;
  resolved = real.get();
  return true;
}

}  // namespace qv::linux_host
