#pragma once
// Resources on Linux: the firmware images linked into the executable
// (firmware/embedded_images.h), found by id. Only type "BINARY" exists.

#include "platform/os_services.h"

namespace qv::linux_host {

class LinuxResources : public IResources {
 public:
  std::span<const std::uint8_t> FindBinary(int id) override;
};

}  // namespace qv::linux_host
