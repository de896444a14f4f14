// The USB identity of an opened camera, from the platform's registry of
// present Image- and Camera-class devices.
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera_device.h"

namespace qv {

namespace {

constexpr std::uint32_t kDeviceIdSize = 260;
// Character offsets of the vendor, product and revision digits in a first
// hardware ID of the form USB\VID_vvvv&PID_pppp&REV_rrrr.
constexpr std::size_t kVendorOffset = 8;
constexpr std::size_t kProductOffset = 17;
constexpr std::size_t kRevisionOffset = 26;
// A field absent from the hardware-ID data.
constexpr std::uint16_t kFieldAbsent = 0xFFFF;
// The registry asks for a bigger buffer only a few times in practice; a
// registry that keeps asking, or asks for an absurd size, is not followed.
constexpr int kMaxPropertyReads = 8;
constexpr std::uint32_t kMaxPropertySize = 64 * 1024;

// The fourth "&"-separated token of `id`, split as strtok does (runs of "&"
// separate, no empty tokens). False when there are fewer than four.
bool fourthToken(const char* id, std::string& token) {
  int index = 0;
  const char* p = id;
  while (*p != '\0') {
    while (*p == '&') ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && *p != '&') ++p;
    if (++index == 4) {
      token.assign(start, p);
      return true;
    }
  }
  return false;
}

// The hexadecimal field at `offset`, or kFieldAbsent when its four characters
// do not all lie within the `size` bytes of data returned.
std::uint16_t hardwareIdField(const std::uint8_t* data, std::size_t size, std::size_t offset) {
  if (offset + 4 > size) return kFieldAbsent;
  return ParseHexField(reinterpret_cast<const char*>(data + offset));
}

// The identity of the registry entry `node`: vendor, product and revision
// from its first hardware ID, the port from its address property (0 when
// the entry has none: the decision needs vendor and product only) and its
// grandparent's instance ID.
void readIdentity(IImageDeviceList& list, DevInst node, CAMERA_USB_INFO& info) {
  // The address property: asked for its size first, as the registry wants.
  std::uint32_t required = 0;
  std::uint32_t error = 0;
  std::uint8_t portAddress = 0;
  std::vector<std::uint8_t> buffer;
  if (!list.GetRegistryProperty(node, DeviceRegistryProperty::Address, nullptr, 0, required,
                                error) &&
      error == win32err::InsufficientBuffer && required != 0 && required <= kMaxPropertySize) {
    buffer.assign(required, 0);
    std::uint32_t returned = required;
    (void)list.GetRegistryProperty(node, DeviceRegistryProperty::Address, buffer.data(),
                                   static_cast<std::uint32_t>(buffer.size()), returned, error);
    portAddress = buffer[0];
  }

  // The hardware IDs, into the same buffer, grown while the registry asks.
  std::size_t dataSize = 0;
  for (int attempt = 0; attempt < kMaxPropertyReads; ++attempt) {
    std::uint32_t returned = static_cast<std::uint32_t>(buffer.size());
    error = 0;
    if (list.GetRegistryProperty(node, DeviceRegistryProperty::HardwareId,
                                 buffer.empty() ? nullptr : buffer.data(),
                                 static_cast<std::uint32_t>(buffer.size()), returned, error)) {
      // Only the bytes the registry returned count as data.
      dataSize = returned < buffer.size() ? returned : buffer.size();
      break;
    }
    if (error != win32err::InsufficientBuffer || returned == 0 || returned > kMaxPropertySize) {
      break;
    }
    buffer.assign(returned, 0);
  }

  info.vendor = hardwareIdField(buffer.data(), dataSize, kVendorOffset);
  info.product = hardwareIdField(buffer.data(), dataSize, kProductOffset);
  info.revision = hardwareIdField(buffer.data(), dataSize, kRevisionOffset);
  info.portAddress = portAddress;

  DevInst parent = 0;
  DevInst grandparent = 0;
  if (list.GetParent(node, parent) && list.GetParent(parent, grandparent)) {
    char grandparentId[kDeviceIdSize] = {};
    if (list.GetDeviceId(grandparent, grandparentId, kDeviceIdSize)) {
      grandparentId[kDeviceIdSize - 1] = '\0';
      std::memcpy(info.grandparentId, grandparentId, sizeof(info.grandparentId));
    }
  }
}

}  // namespace

bool IsDevicePathOf(const char* devicePath, const char* instanceId) {
  // The path's own prefix (\\?\ on Windows, v4l: on Linux) is four
  // characters; the instance ID follows with its backslashes as '#'.
  constexpr std::size_t kPrefixLength = 4;
  if (devicePath == nullptr || instanceId == nullptr || instanceId[0] == '\0') return false;
  for (std::size_t i = 0; i < kPrefixLength; ++i) {
    if (devicePath[i] == '\0') return false;
  }
  const char* p = devicePath + kPrefixLength;
  for (const char* c = instanceId; *c != '\0'; ++c, ++p) {
    char wanted = *c == '\\' ? '#' : *c;
    char have = *p;
    if (wanted >= 'A' && wanted <= 'Z') wanted = static_cast<char>(wanted - 'A' + 'a');
    if (have >= 'A' && have <= 'Z') have = static_cast<char>(have - 'A' + 'a');
    if (have == '\0' || have != wanted) return false;
  }
  return *p == '#';
}

std::uint16_t ParseHexField(const char* characters) {
  std::uint16_t value = 0;
  int shift = 12;
  for (int i = 0; i < 4; ++i, shift -= 4) {
    const unsigned char c = static_cast<unsigned char>(characters[i]);
    unsigned digit = 0;
    if (c == '\0' || c == ' ') {
      digit = 0;  // counts as a 0 digit
    } else if (c >= '0' && c <= '?') {
      digit = c - '0';  // '0'-'9', then ':' ';' '<' '=' '>' '?' as 10 to 15
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return 0xFFFF;
    }
    value = static_cast<std::uint16_t>(value + (digit << shift));
  }
  return value;
}

namespace {

struct RegistryEntry {
  IImageDeviceList* list = nullptr;
  DevInst node = 0;
};

enum class Lookup { Found, NotFound, BrokeOff };

// The registry node of the device with `devicePath`: the first entry whose
// instance ID the path carries whole; failing that, the only entry whose
// fourth "&" token occurs in the path. The token rule alone cannot tell
// cameras apart (a device without a serial number has the token "0", found
// in almost every path): it decides only when no entry names the camera
// whole, every entry was seen, and exactly one entry matches by token.
Lookup findNode(const std::unique_ptr<IImageDeviceList> (&lists)[2], const char* devicePath,
                RegistryEntry& chosen) {
  RegistryEntry byToken;
  int tokenMatches = 0;
  bool brokeOff = false;
  for (const auto& list : lists) {
    if (!list) continue;
    for (std::uint32_t index = 0;; ++index) {
      DevInst node = 0;
      std::uint32_t lastError = 0;
      if (!list->EnumDeviceInfo(index, node, lastError)) {
        if (lastError != win32err::Success && lastError != win32err::NoMoreItems) brokeOff = true;
        break;
      }
      char id[kDeviceIdSize] = {};
      if (!list->GetDeviceId(node, id, kDeviceIdSize)) continue;
      id[kDeviceIdSize - 1] = '\0';
      if (IsDevicePathOf(devicePath, id)) {
        chosen = {list.get(), node};
        return Lookup::Found;
      }
      for (char& c : id) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      std::string token;
      if (!fourthToken(id, token)) continue;
      if (std::strstr(devicePath, token.c_str()) == nullptr) continue;
      if (++tokenMatches == 1) byToken = {list.get(), node};
    }
  }
  if (brokeOff) return Lookup::BrokeOff;
  if (tokenMatches != 1) return Lookup::NotFound;
  chosen = byToken;
  return Lookup::Found;
}

// Whether a registry instance ID names one interface of a composite USB
// device (USB\VID_vvvv&PID_pppp&MI_nn\...), letters compared without case.
bool isInterfaceId(const char* id) {
  for (const char* p = id; *p != '\0'; ++p) {
    if (p[0] == '&' && (p[1] == 'M' || p[1] == 'm') && (p[2] == 'I' || p[2] == 'i') &&
        p[3] == '_') {
      return true;
    }
  }
  return false;
}

}  // namespace

std::int32_t CCameraDevice::GetUsbInfo(CAMERA_USB_INFO& info) {
  if (!core_) return 1;
  // The Image class first (cameras installed by a vendor INF), then the
  // Camera class (the in-box driver's).
  const std::unique_ptr<IImageDeviceList> lists[2] = {
      platform_.registry.OpenPresentImageDevices(), platform_.registry.OpenPresentCameraDevices()};
  if (!lists[0] && !lists[1]) return 1;
  RegistryEntry chosen;
  switch (findNode(lists, core_->devicePath(), chosen)) {
    case Lookup::BrokeOff:
      return 1;
    case Lookup::NotFound:
      return 0;
    case Lookup::Found:
      break;
  }
  readIdentity(*chosen.list, chosen.node, info);
  return 0;
}

CameraIds::CameraIds(const Platform& platform)
    : lists_{platform.registry.OpenPresentImageDevices(),
             platform.registry.OpenPresentCameraDevices()} {}

CameraIds::~CameraIds() = default;

std::string CameraIds::of(const char* devicePath) {
  RegistryEntry entry;
  if (devicePath == nullptr || devicePath[0] == '\0' ||
      findNode(lists_, devicePath, entry) != Lookup::Found) {
    return {};
  }
  // The camera's node is one function of the USB device (an interface of a
  // composite device on Windows, one VideoControl interface on Linux): the
  // device itself is its parent. A node that is no interface is the device.
  char id[kDeviceIdSize] = {};
  DevInst node = entry.node;
  if (!entry.list->GetDeviceId(node, id, kDeviceIdSize)) return {};
  id[kDeviceIdSize - 1] = '\0';
  if (!isInterfaceId(id)) return id;
  DevInst parent = 0;
  if (!entry.list->GetParent(node, parent) || !entry.list->GetDeviceId(parent, id, kDeviceIdSize))
    return {};
  id[kDeviceIdSize - 1] = '\0';
  return id;
}

}  // namespace qv
