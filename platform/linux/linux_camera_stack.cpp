#include "platform/linux/linux_camera_stack.h"

namespace qv::linux_host {

HResult LinuxCameraStack::CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) {
  out.reset();
  return hr::False;
}

}  // namespace qv::linux_host
