#pragma once
// The camera stack on Linux: the capture nodes of video4linux as the video
// input category, each uvcvideo camera's extension units (from its USB
// descriptors) as its Kernel Streaming topology, and property requests as
// UVCIOC_CTRL_QUERY on the node. There is no private interface.

#include <set>
#include <string>

#include "platform/camera_stack.h"
#include "platform/linux/kernel_io.h"
#include "platform/os_services.h"

namespace qv::linux_host {

// The "DevicePath" of a node, shaped as Windows shapes a camera's: "v4l:",
// the registry instance ID of the camera's interface (usbInstanceId) in
// lower case with every "\\" turned into "#", then "#" and the device node,
// e.g. "v4l:usb#vid_04f2&pid_b5bd&mi_00#3&usb-3-1.4#&0&0000#/dev/video0".
// Characters 4 to 6 read "usb".
std::string devicePathOf(const std::string& instanceId, const std::string& deviceNode);

class LinuxCameraStack : public ICameraStack {
 public:
  // `console` takes the one-line notes on nodes that cannot be opened for
  // lack of permission.
  LinuxCameraStack(KernelIo& io, KernelRoots roots, IConsole& console);

  HResult CoInitialize() override { return hr::Ok; }
  void CoUninitialize() override {}
  HResult CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) override;

  // Says once per node and run that it cannot be opened for lack of
  // permission, and what to do.
  void notePermissionDenied(const std::string& deviceNode);
  // Notes for the run why the system shows no camera (once per run).
  void noteNoCamera(const std::string& why);

 private:
  KernelIo& io_;
  KernelRoots roots_;
  IConsole& console_;
  std::set<std::string> notedNodes_;
};

}  // namespace qv::linux_host
