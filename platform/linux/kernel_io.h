#pragma once
// Every access of the camera backend to the kernel: device nodes (open,
// close, ioctl) and the sysfs tree (files, folders, links). The real
// implementation is SystemKernelIo; tests put a fake device behind the same
// calls and lay out a sysfs tree in a folder of their own.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace qv::linux_host {

class KernelIo {
 public:
  virtual ~KernelIo() = default;
  // Opens a device node for reading and writing (close-on-exec, non-blocking).
  // Returns the descriptor, or -1 with the errno in `error`.
  virtual int openDevice(const std::string& path, int& error) = 0;
  virtual void closeDevice(int fd) = 0;
  // ioctl(2): 0 on success, else the errno. `value` receives the call's
  // non-negative result: 0 for most requests, but uvcvideo on 6.1 answers a
  // control query that the device answered short with the byte count (and
  // leaves stale kernel memory in the rest of the buffer).
  virtual int ioctl(int fd, unsigned long request, void* argument, int& value) = 0;
  // The same for requests whose non-negative result carries nothing.
  int ioctl(int fd, unsigned long request, void* argument) {
    int value = 0;
    return ioctl(fd, request, argument, value);
  }
  // The device number of an open character device (fstat's st_rdev) as
  // sysfs writes it in a class device's `dev` attribute: "<major>:<minor>".
  // Returns 0, or the errno (ENODEV for a descriptor that is no character
  // device).
  virtual int deviceNumber(int fd, std::string& number) = 0;

  // The whole of a (sysfs) file, at most `limit` bytes. False when it cannot
  // be read.
  virtual bool readFile(const std::string& path, std::string& contents, std::size_t limit) = 0;
  // Writes `contents` to an existing (sysfs) file in one write. False when
  // it cannot be opened for writing or the write fails.
  virtual bool writeFile(const std::string& path, const std::string& contents) = 0;
  // The names in a folder (without "." and ".."), in no particular order.
  virtual bool listFolder(const std::string& path, std::vector<std::string>& names) = 0;
  // The path with every symbolic link resolved (realpath). False when it
  // does not exist.
  virtual bool resolvePath(const std::string& path, std::string& resolved) = 0;
};

// Where the kernel's trees are mounted: "/sys" and "/dev" on a running system.
struct KernelRoots {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
};

// One open device node; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  UniqueFd(KernelIo& io, int fd) : io_(&io), fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : io_(other.io_), fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      io_ = other.io_;
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) io_->closeDevice(fd_);
    fd_ = -1;
  }

 private:
  KernelIo* io_ = nullptr;
  int fd_ = -1;
};

// The running system.
class SystemKernelIo : public KernelIo {
 public:
  int openDevice(const std::string& path, int& error) override;
  void closeDevice(int fd) override;
  using KernelIo::ioctl;
  int ioctl(int fd, unsigned long request, void* argument, int& value) override;
  int deviceNumber(int fd, std::string& number) override;
  bool readFile(const std::string& path, std::string& contents, std::size_t limit) override;
  bool writeFile(const std::string& path, const std::string& contents) override;
  bool listFolder(const std::string& path, std::vector<std::string>& names) override;
  bool resolvePath(const std::string& path, std::string& resolved) override;
};

}  // namespace qv::linux_host
