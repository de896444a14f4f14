#include "platform/linux/usb_sysfs.h"

#include <cctype>

namespace qv::linux_host {
namespace {

// Attributes are short; a file longer than this is not one of them.
constexpr std::size_t kAttributeLimit = 4096;
// A USB device's devpath: port numbers (1 to 255 each) joined by dots, at
// most seven tiers of hubs deep.
constexpr std::size_t kDevpathLimit = 32;

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

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// "1", "1.4", "2.1.3": what the kernel writes; nothing that could bring a
// separator ("&", "#", "\\") into an ID.
bool isDevpath(const std::string& text) {
  if (text.empty() || text.size() > kDevpathLimit || text.front() == '.' || text.back() == '.') {
    return false;
  }
  for (char c : text) {
    if (c != '.' && !std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string hexDigits(std::uint32_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4)
    text[static_cast<std::size_t>(i)] = kHex[value & 0xF];
  return text;
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

  // devpath: the port numbers from the root hub down, "1" or "1.4.2";
  // busnum: the bus (one per root hub) in decimal.
  if (!readAttribute(io, d + "/devpath", info.devpath) || !isDevpath(info.devpath) ||
      !readAttribute(io, d + "/busnum", info.busNumber) || !allDigits(info.busNumber) ||
      info.busNumber.size() > 5) {
    return false;
  }
  const auto dot = info.devpath.find_last_of('.');
  if (!parseUnsigned(dot == std::string::npos ? info.devpath : info.devpath.substr(dot + 1), 10,
                     0xFFFF, info.port)) {
    return false;
  }
  // Decimal, empty while the device is unconfigured.
  std::uint32_t configuration = 0;
  std::string text;
  if (readAttribute(io, d + "/bConfigurationValue", text) &&
      parseUnsigned(text, 10, 0xFF, configuration)) {
    info.configuration = static_cast<std::uint8_t>(configuration);
  }
  std::string driver;
  if (io.resolvePath(i + "/driver", driver)) info.driver = baseName(driver);
  return true;
}

std::string usbInstanceId(const UsbInterfaceInfo& info) {
  return "USB\\VID_" + hexDigits(info.vendor, 4) + "&PID_" + hexDigits(info.product, 4) + "&MI_" +
         hexDigits(info.interfaceNumber, 2) + "\\" + info.busNumber + "&usb-" + info.busNumber +
         "-" + info.devpath + "#&0&0000";
}

}  // namespace qv::linux_host
