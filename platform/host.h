#pragma once
// The OS backend chosen at build time (platform/linux or platform/win32).

#include <memory>

#include "platform/platform.h"

namespace qv {

class HostPlatform {
 public:
  virtual ~HostPlatform() = default;
  // The OS services, and the real camera stack and device registry.
  virtual Platform platform() = 0;
};

std::unique_ptr<HostPlatform> createHostPlatform();

}  // namespace qv
