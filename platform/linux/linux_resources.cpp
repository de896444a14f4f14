#include "platform/linux/linux_resources.h"

#include "firmware/embedded_images.h"

namespace qv::linux_host {

std::span<const std::uint8_t> LinuxResources::FindBinary(int id) {
  for (const firmware::EmbeddedImage& image : firmware::EmbeddedImages()) {
    if (image.id == id) return {image.data, image.size};
  }
  return {};
}

}  // namespace qv::linux_host
