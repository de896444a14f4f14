#pragma once
// The single-instance guard on Linux: a unix-domain socket bound to the
// guard's name in the abstract namespace. The name is system-wide (per
// network namespace); only one socket can hold it, and the kernel releases it
// when the holding process ends, however it ends. No file is left behind.

#include "platform/os_services.h"

namespace qv::linux_host {

class LinuxInstanceGuard : public IInstanceGuard {
 public:
  LinuxInstanceGuard() = default;
  ~LinuxInstanceGuard() override;
  LinuxInstanceGuard(const LinuxInstanceGuard&) = delete;
  LinuxInstanceGuard& operator=(const LinuxInstanceGuard&) = delete;

  // AlreadyExists when the name is held, by another process or already by
  // this one.
  Result Create(std::wstring_view name) override;

 private:
  int socket_ = -1;
};

}  // namespace qv::linux_host
