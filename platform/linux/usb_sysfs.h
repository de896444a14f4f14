#pragma once
// What the sysfs tree tells about a USB interface and the device it belongs
// to: the attributes the camera stack and the device registry read.

#include <cstdint>
#include <string>

#include "platform/linux/kernel_io.h"

namespace qv::linux_host {

struct UsbInterfaceInfo {
  std::string interfaceFolder;  // resolved sysfs folder of the interface, e.g. .../1-1/1-1:1.0
  std::string deviceFolder;     // its USB device, e.g. .../usb1/1-1
  std::string deviceName;       // "1-1"
  std::string hubName;          // the hub the device hangs on: "usb1" (root hub) or "1-2"
  std::uint8_t interfaceNumber = 0;
  std::uint8_t interfaceClass = 0;
  std::uint8_t interfaceSubclass = 0;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t revision = 0;  // bcdDevice
  std::uint32_t port = 0;      // the device's port on its hub: the last number of devpath
  // The device's place on the system: the bus number (`busnum`, decimal)
  // and the ports from the root hub down (`devpath`, "1" or "1.4.2"). The
  // pair is unique while the device is plugged in; the V4L2 bus_info is not
  // (it names the controller, whose USB 2 and USB 3 root hubs share one
  // name, and is cut to 31 characters).
  std::string busNumber;
  std::string devpath;
  // The device's active configuration (`bConfigurationValue`); 0 when it
  // has none.
  std::uint8_t configuration = 0;
  // The driver bound to the interface ("uvcvideo"), empty when none is.
  std::string driver;
};

// The class and subclass of a VideoControl interface.
inline constexpr std::uint8_t kUsbClassVideo = 0x0E;
inline constexpr std::uint8_t kUsbSubclassVideoControl = 0x01;

// Reads the interface at the (unresolved) sysfs path `interfacePath` and its
// device. False when the folder is not a USB interface of a USB device with
// readable ids.
bool readUsbInterface(KernelIo& io, const std::string& interfacePath, UsbInterfaceInfo& info);

// The registry instance ID of the interface, built from the unique facts
// above: USB\VID_vvvv&PID_pppp&MI_nn\<busnum>&usb-<busnum>-<devpath>#&0&0000.
// The fourth "&" token ends with "#" so that the token of port 1 is no part
// of the one of port 10 or 1.4; no other "#" occurs in it.
std::string usbInstanceId(const UsbInterfaceInfo& info);

// The last path component.
std::string baseName(const std::string& path);
// The path without its last component.
std::string parentPath(const std::string& path);
// A sysfs attribute as text with the trailing newline removed.
bool readAttribute(KernelIo& io, const std::string& path, std::string& value);
// A sysfs attribute holding a hexadecimal number ("04f2", "0100", "00").
bool readHexAttribute(KernelIo& io, const std::string& path, std::uint32_t max,
                      std::uint32_t& value);

}  // namespace qv::linux_host
