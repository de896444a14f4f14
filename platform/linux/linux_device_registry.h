#pragma once
// The Image-class device registry on Linux: one device per USB VideoControl
// interface bound to uvcvideo, named and described the way Windows names the
// interface of a composite USB camera:
//   instance ID  USB\VID_vvvv&PID_pppp&MI_nn\<bus>&usb-<bus>-<devpath>#&0&0000
//                (usbInstanceId), which the camera's DevicePath carries whole
//   hardware IDs USB\VID_vvvv&PID_pppp&REV_rrrr&MI_nn, USB\VID_vvvv&PID_pppp&MI_nn
//   address      the device's port on its hub
//   parent       the USB device, named by its place: usb-<busnum>-<devpath>
//                (the camera ID, the same for every function of the device)
//   grandparent  the hub (its sysfs name, "usb1" or "1-2")

#include "platform/device_registry.h"
#include "platform/linux/kernel_io.h"

namespace qv::linux_host {

class LinuxDeviceRegistry : public IDeviceRegistry {
 public:
  LinuxDeviceRegistry(KernelIo& io, KernelRoots roots);
  std::unique_ptr<IImageDeviceList> OpenPresentImageDevices() override;

 private:
  KernelIo& io_;
  KernelRoots roots_;
};

}  // namespace qv::linux_host
