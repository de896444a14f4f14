#pragma once
// The camera stack on Linux. The V4L2/uvcvideo stack is not wired yet: the
// video input category is empty (S_FALSE and no enumerator), so the tool
// finds no camera on real hardware and says so.

#include "platform/camera_stack.h"

namespace qv::linux_host {

class LinuxCameraStack : public ICameraStack {
 public:
  HResult CoInitialize() override { return hr::Ok; }
  void CoUninitialize() override {}
  HResult CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) override;
};

}  // namespace qv::linux_host
