#include "platform/linux/usb_sysfs.h"

#include <cctype>

namespace qv::linux_host {
namespace {

// Attributes are short; a file longer than this is not one of them.
constexpr std::size_t kAttributeLimit = 4096;
// V4L2's bus_info holds 32 bytes with the terminator.
constexpr std::size_t kBusInfoLength = 31;

bool parseUnsigned(const std::string& text, int base, std::uint32_t max, std::uint32_t& value) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t v = 0;
  for (char c : text) {
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : (base == 16 && c >= 'a' && c <= 'f')      ? c - 'a' + 10
                      : (base == 16 && c >= 'A' && c <= 'F')      ? c - 'A' + 10
                                                                  : -1;
    if (digit < 0) return false;
    v = v * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
  }
  if (v > max) return false;
  value = v;
  return true;
}

// True for a root hub's folder name, "usb" followed by the bus number.
bool isRootHubName(const std::string& name) {
  if (name.size() <= 3 || name.compare(0, 3, "usb") != 0) return false;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

}  // namespace

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentPath(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool readAttribute(KernelIo& io, const std::string& path, std::string& value) {
  if (!io.readFile(path, value, kAttributeLimit)) return false;
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return true;
}

bool readHexAttribute(KernelIo& io, const std::string& path, std::uint32_t max,
                      std::uint32_t& value) {
  std::string text;
  return readAttribute(io, path, text) && parseUnsigned(text, 16, max, value);
}

bool readUsbInterface(KernelIo& io, const std::string& interfacePath, UsbInterfaceInfo& info) {
  if (!io.resolvePath(interfacePath, info.interfaceFolder)) return false;
  info.deviceFolder = parentPath(info.interfaceFolder);
  info.deviceName = baseName(info.deviceFolder);
  info.hubName = baseName(parentPath(info.deviceFolder));

  std::uint32_t number = 0, cls = 0, subclass = 0, vendor = 0, product = 0, revision = 0;
  const std::string& i = info.interfaceFolder;
  const std::string& d = info.deviceFolder;
  if (!readHexAttribute(io, i + "/bInterfaceNumber", 0xFF, number) ||
      !readHexAttribute(io, i + "/bInterfaceClass", 0xFF, cls) ||
      !readHexAttribute(io, i + "/bInterfaceSubClass", 0xFF, subclass) ||
      !readHexAttribute(io, d + "/idVendor", 0xFFFF, vendor) ||
      !readHexAttribute(io, d + "/idProduct", 0xFFFF, product) ||
      !readHexAttribute(io, d + "/bcdDevice", 0xFFFF, revision)) {
    return false;
  }
  info.interfaceNumber = static_cast<std::uint8_t>(number);
  info.interfaceClass = static_cast<std::uint8_t>(cls);
  info.interfaceSubclass = static_cast<std::uint8_t>(subclass);
  info.vendor = static_cast<std::uint16_t>(vendor);
  info.product = static_cast<std::uint16_t>(product);
  info.revision = static_cast<std::uint16_t>(revision);

  // devpath: the port numbers from the root hub down, "1" or "1.4.2".
  std::string devpath;
  if (!readAttribute(io, d + "/devpath", devpath) || devpath.empty()) return false;
  const auto dot = devpath.find_last_of('.');
  if (!parseUnsigned(dot == std::string::npos ? devpath : devpath.substr(dot + 1), 10, 0xFFFF,
                     info.port)) {
    return false;
  }

  // The controller is the parent of the root hub ("usbN") above the device;
  // usb_make_path names the bus by it.
  std::string folder = d;
  while (folder.size() > 1 && !isRootHubName(baseName(folder))) folder = parentPath(folder);
  if (folder.size() <= 1) return false;
  info.busInfo = "usb-" + baseName(parentPath(folder)) + "-" + devpath;
  if (info.busInfo.size() > kBusInfoLength) info.busInfo.resize(kBusInfoLength);
  return true;
}

}  // namespace qv::linux_host
