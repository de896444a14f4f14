#include "platform/linux/linux_device_registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "platform/linux/usb_sysfs.h"

namespace qv::linux_host {
namespace {

constexpr std::uint32_t kErrorInvalidData = 13;  // ERROR_INVALID_DATA
// Device nodes: entry i has its interface (level 0), its USB device (1) and
// the hub (2).
constexpr DevInst kNodeBase = 0x100;
constexpr std::uint32_t kLevels = 4;

struct Entry {
  std::string instanceId;
  std::string deviceId;
  std::string hubId;
  std::string hardwareIds;  // REG_MULTI_SZ: each NUL-terminated, then one more NUL
  std::uint32_t address = 0;
};

std::string hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value & 0xFFFF));
  return text;
}

std::string hex2(std::uint32_t value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value & 0xFF));
  return text;
}

bool makeEntry(const UsbInterfaceInfo& usb, Entry& entry) {
  const std::string vidPid = "USB\\VID_" + hex4(usb.vendor) + "&PID_" + hex4(usb.product);
  const std::string mi = "&MI_" + hex2(usb.interfaceNumber);
  // The camera stack builds the node's DevicePath from the same ID.
  entry.instanceId = usbInstanceId(usb);
  // The camera's ID: where the device sits (bus and ports from the root
  // hub), which a re-enumeration on the same port keeps, where the node
  // number and the device number do not.
  entry.deviceId = "usb-" + usb.busNumber + "-" + usb.devpath;
  entry.hubId = usb.hubName;
  entry.hardwareIds = vidPid + "&REV_" + hex4(usb.revision) + mi;
  entry.hardwareIds.push_back('\0');
  entry.hardwareIds += vidPid + mi;
  entry.hardwareIds.push_back('\0');
  entry.hardwareIds.push_back('\0');
  entry.address = usb.port;
  return true;
}

class LinuxImageDeviceList final : public IImageDeviceList {
 public:
  explicit LinuxImageDeviceList(std::vector<Entry> entries) : entries_(std::move(entries)) {}

  bool EnumDeviceInfo(std::uint32_t index, DevInst& node, std::uint32_t& lastError) override {
    if (index < entries_.size()) {
      node = kNodeBase + index * kLevels;
      return true;
    }
    lastError = win32err::NoMoreItems;
    return false;
  }

  bool GetDeviceId(DevInst node, char* buffer, std::uint32_t size) override {
    const Entry* entry = nullptr;
    std::uint32_t level = 0;
    if (!decode(node, entry, level) || buffer == nullptr) return false;
    const std::string& id = level == 0   ? entry->instanceId
                            : level == 1 ? entry->deviceId
                                         : entry->hubId;
    if (id.size() + 1 > size) return false;
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    return true;
  }

  bool GetRegistryProperty(DevInst node, DeviceRegistryProperty property, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t& requiredSize,
                           std::uint32_t& lastError) override {
    const Entry* entry = nullptr;
    std::uint32_t level = 0;
    if (!decode(node, entry, level) || level != 0) {
      lastError = kErrorInvalidData;
      return false;
    }
    std::string value;
    if (property == DeviceRegistryProperty::Address) {
      for (int i = 0; i < 4; ++i) value.push_back(static_cast<char>(entry->address >> (8 * i)));
    } else {
      value = entry->hardwareIds;
    }
    return copyRegistryProperty(value, buffer, size, requiredSize, lastError);
  }

  bool GetParent(DevInst node, DevInst& parent) override {
    const Entry* entry = nullptr;
    std::uint32_t level = 0;
    if (!decode(node, entry, level) || level >= 2) return false;  // the hub's parent is not kept
    parent = node + 1;
    return true;
  }

 private:
  bool decode(DevInst node, const Entry*& entry, std::uint32_t& level) const {
    if (node < kNodeBase) return false;
    const std::size_t index = (node - kNodeBase) / kLevels;
    level = (node - kNodeBase) % kLevels;
    if (index >= entries_.size() || level > 2) return false;
    entry = &entries_[index];
    return true;
  }

  std::vector<Entry> entries_;
};

}  // namespace

LinuxDeviceRegistry::LinuxDeviceRegistry(KernelIo& io, KernelRoots roots)
    : io_(io), roots_(std::move(roots)) {}

std::unique_ptr<IImageDeviceList> LinuxDeviceRegistry::OpenPresentImageDevices() {
  // The interfaces bound to uvcvideo ("1-1:1.0"); the driver also holds the
  // streaming interfaces it claims, which are not the camera's function.
  const std::string driverFolder = roots_.sysfs + "/bus/usb/drivers/uvcvideo";
  std::vector<std::string> names;
  std::vector<Entry> entries;
  if (io_.listFolder(driverFolder, names)) {
    std::sort(names.begin(), names.end());  // a stable order
    for (const std::string& name : names) {
      if (name.find(':') == std::string::npos) continue;  // bind, unbind, module, ...
      UsbInterfaceInfo usb;
      if (!readUsbInterface(io_, driverFolder + "/" + name, usb) ||
          usb.interfaceClass != kUsbClassVideo ||
          usb.interfaceSubclass != kUsbSubclassVideoControl) {
        continue;
      }
      Entry entry;
      if (makeEntry(usb, entry)) entries.push_back(std::move(entry));
    }
  }
  // No uvcvideo (driver not loaded) is an empty list, as Windows gives when
  // no camera is present.
  return std::make_unique<LinuxImageDeviceList>(std::move(entries));
}

}  // namespace qv::linux_host
