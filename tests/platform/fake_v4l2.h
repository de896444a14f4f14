#pragma once
// A Linux system with uvcvideo cameras, for the V4L2 camera stack: a sysfs
// and /dev tree laid out in a temporary folder as the kernel lays them out,
// and the device-node calls (open, close, ioctl) answered by fake nodes whose
// extension-unit requests go through the rules of uvcvideo to a device.

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/guid.h"
#include "base/hresult.h"
#include "platform/linux/kernel_io.h"
#include "temp_dir.h"

namespace qv::testing {

// A GUID in the byte order of UVC descriptors (Data1 to Data3 little-endian).
inline std::vector<std::uint8_t> UsbGuidBytes(const Guid& g) {
  std::vector<std::uint8_t> b;
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(g.data1 >> (8 * i)));
  for (int i = 0; i < 2; ++i) b.push_back(static_cast<std::uint8_t>(g.data2 >> (8 * i)));
  for (int i = 0; i < 2; ++i) b.push_back(static_cast<std::uint8_t>(g.data3 >> (8 * i)));
  b.insert(b.end(), g.data4, g.data4 + 8);
  return b;
}

struct UnitSpec {
  std::uint8_t id = 4;
  Guid guid = XU_GUID_PRIMARY;
  std::vector<std::uint8_t> bmControls = {0xFF, 0xFF, 0xFF};  // selectors 1 to 24
  std::uint8_t numControls = 24;
};

// One extension unit descriptor with one input pin.
inline std::vector<std::uint8_t> ExtensionUnitBytes(const UnitSpec& u, std::uint8_t source = 1) {
  std::vector<std::uint8_t> d = {0, 0x24, 0x06, u.id};
  const auto guid = UsbGuidBytes(u.guid);
  d.insert(d.end(), guid.begin(), guid.end());
  d.push_back(u.numControls);
  d.push_back(1);  // bNrInPins
  d.push_back(source);
  d.push_back(static_cast<std::uint8_t>(u.bmControls.size()));
  d.insert(d.end(), u.bmControls.begin(), u.bmControls.end());
  d.push_back(0);  // iExtension
  d[0] = static_cast<std::uint8_t>(d.size());
  return d;
}

// The descriptors file of a UVC camera: device descriptor, configuration
// with an interface association, the VideoControl interface (header, camera
// terminal, the units, output terminal) and a VideoStreaming interface whose
// MJPEG format descriptor has the same subtype (0x06) as an extension unit.
inline std::vector<std::uint8_t> UvcDescriptors(std::uint8_t vc, const std::vector<UnitSpec>& units,
                                                std::uint16_t vendor = 0x04F2,
                                                std::uint16_t product = 0xB5BD) {
  std::vector<std::uint8_t> d = {18,
                                 1,
                                 0x00,
                                 0x02,
                                 0xEF,
                                 0x02,
                                 0x01,
                                 64,
                                 static_cast<std::uint8_t>(vendor),
                                 static_cast<std::uint8_t>(vendor >> 8),
                                 static_cast<std::uint8_t>(product),
                                 static_cast<std::uint8_t>(product >> 8),
                                 0x00,
                                 0x01,
                                 1,
                                 2,
                                 0,
                                 1};
  const std::size_t config = d.size();
  const std::vector<std::vector<std::uint8_t>> parts = [&] {
    std::vector<std::vector<std::uint8_t>> p;
    p.push_back({9, 2, 0, 0, 2, 1, 0, 0x80, 250});
    p.push_back({8, 0x0B, vc, 2, 0x0E, 0x03, 0x00, 0});
    p.push_back({9, 4, vc, 0, 0, 0x0E, 0x01, 0x00, 0});
    p.push_back({13, 0x24, 0x01, 0x00, 0x01, 0, 0, 0x80, 0x8D, 0x5B, 0x00, 1,
                 static_cast<std::uint8_t>(vc + 1)});
    p.push_back({18, 0x24, 0x02, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0});
    std::uint8_t source = 1;
    for (const UnitSpec& u : units) {
      p.push_back(ExtensionUnitBytes(u, source));
      source = u.id;
    }
    p.push_back({9, 0x24, 0x03, 9, 0x01, 0x01, 0, source, 0});
    p.push_back({9, 4, static_cast<std::uint8_t>(vc + 1), 0, 0, 0x0E, 0x02, 0, 0});
    p.push_back({14, 0x24, 0x01, 1, 0, 0, 0x81, 0, 9, 0, 0, 0, 1, 0});
    p.push_back({11, 0x24, 0x06, 1, 1, 0x01, 1, 0, 0, 0, 0});
    return p;
  }();
  for (const auto& part : parts) d.insert(d.end(), part.begin(), part.end());
  const std::size_t total = d.size() - config;
  d[config + 2] = static_cast<std::uint8_t>(total);
  d[config + 3] = static_cast<std::uint8_t>(total >> 8);
  return d;
}

// One camera on the USB bus, as sysfs shows it.
struct CameraSpec {
  std::string controller = "0000:00:14.0";
  int bus = 1;
  std::string devpath = "1";  // ports from the root hub down: "1", "1.4"
  std::uint16_t vendor = 0x04F2;
  std::uint16_t product = 0xB5BD;
  std::uint16_t revision = 0x0100;
  std::uint8_t vcInterface = 0;
  std::uint8_t configuration = 1;   // bConfigurationValue, the active one
  std::string driver = "uvcvideo";  // bound to the interfaces; "" for none
  std::vector<UnitSpec> units = {UnitSpec{}};
  std::optional<std::vector<std::uint8_t>> descriptors;  // default: UvcDescriptors of the above
};

// The sysfs and /dev trees in a temporary folder.
class FakeSysfs {
 public:
  TempDir dir;

  linux_host::KernelRoots roots() const { return {dir.file("sys"), dir.file("dev")}; }
  std::string sys(const std::string& rest) const { return dir.file("sys/" + rest); }
  std::string devNode(int number) const { return dir.file("dev/video" + std::to_string(number)); }

  static void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static void Link(const std::string& link, const std::string& target) {
    std::filesystem::create_directories(std::filesystem::path(link).parent_path());
    std::filesystem::create_symlink(target, link);
  }

  // The camera's USB device and its interfaces, bound to uvcvideo. Returns
  // the VideoControl interface's folder.
  std::string AddCamera(const CameraSpec& c) {
    const std::string busName = std::to_string(c.bus);
    std::string folder = sys("devices/pci0000:00/" + c.controller + "/usb" + busName);
    Write(folder + "/busnum", busName + "\n");
    // Hubs down to the device: "1.4" lies below "1".
    std::string prefix;
    std::size_t start = 0;
    for (;;) {
      const std::size_t dot = c.devpath.find('.', start);
      prefix = c.devpath.substr(0, dot);
      folder += "/" + busName + "-" + prefix;
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    char hex[8];
    auto attr = [&](const std::string& name, unsigned value, const char* format) {
      std::snprintf(hex, sizeof hex, format, value);
      Write(folder + "/" + name, std::string(hex) + "\n");
    };
    attr("idVendor", c.vendor, "%04x");
    attr("idProduct", c.product, "%04x");
    attr("bcdDevice", c.revision, "%04x");
    Write(folder + "/devpath", c.devpath + "\n");
    Write(folder + "/busnum", busName + "\n");
    Write(folder + "/bConfigurationValue", std::to_string(c.configuration) + "\n");
    Write(folder + "/power/control", "auto\n");
    const auto bytes = c.descriptors ? *c.descriptors
                                     : UvcDescriptors(c.vcInterface, c.units, c.vendor, c.product);
    Write(folder + "/descriptors", std::string(bytes.begin(), bytes.end()));

    const std::string deviceName = busName + "-" + c.devpath;
    const std::string driver = sys("bus/usb/drivers/" + (c.driver.empty() ? "none" : c.driver));
    std::string vcFolder;
    for (int i = 0; i < 2; ++i) {
      const unsigned number = c.vcInterface + i;
      const std::string name =
          deviceName + ":" + std::to_string(c.configuration) + "." + std::to_string(number);
      const std::string intf = folder + "/" + name;
      std::snprintf(hex, sizeof hex, "%02x", number);
      Write(intf + "/bInterfaceNumber", std::string(hex) + "\n");
      Write(intf + "/bInterfaceClass", "0e\n");
      Write(intf + "/bInterfaceSubClass", i == 0 ? "01\n" : "02\n");
      if (!c.driver.empty()) {
        // The driver claims the streaming interface too.
        Link(driver + "/" + name, intf);
        Link(intf + "/driver", driver);
      }
      if (i == 0) vcFolder = intf;
    }
    Write(driver + "/bind", "");
    Write(driver + "/module", "");
    return vcFolder;
  }

  // Another VideoControl interface of the USB device of a camera made by
  // AddCamera (`vcFolder`), bound to uvcvideo: a second capture function
  // (infrared), which the descriptors do not describe. Returns its folder.
  std::string AddFunction(const std::string& vcFolder, unsigned number) {
    const std::string folder = vcFolder.substr(0, vcFolder.rfind('.') + 1) + std::to_string(number);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x\n", number);
    Write(folder + "/bInterfaceNumber", hex);
    Write(folder + "/bInterfaceClass", "0e\n");
    Write(folder + "/bInterfaceSubClass", "01\n");
    Link(folder + "/driver", sys("bus/usb/drivers/uvcvideo"));
    return folder;
  }

  // /dev/videoN and its sysfs node under `parent` (an interface folder), the
  // `index`-th node of that device.
  void AddVideoNode(const std::string& parent, int number, int index) {
    const std::string name = "video" + std::to_string(number);
    const std::string node = parent + "/video4linux/" + name;
    Write(node + "/index", std::to_string(index) + "\n");
    Write(node + "/name", "Camera\n");
    Write(node + "/dev", "81:" + std::to_string(number) + "\n");
    Link(node + "/device", parent);
    Link(sys("class/video4linux/" + name), node);
    Write(devNode(number), "");
  }
};

// What a device does with one extension-unit request: the UVC request as
// the camera receives it. For GET_LEN it writes the length to `reported`.
enum class UvcRequest { SetCur, GetCur, GetLen };
using UvcDevice = std::function<HResult(UvcRequest, std::uint8_t selector, std::uint8_t* data,
                                        std::uint16_t length, std::uint32_t& reported)>;

// uvcvideo's handling of UVCIOC_CTRL_QUERY in front of a device (one device
// behind all the camera's units): the unit must exist and declare the selector in bmControls (else
// ENOENT); the first query of a selector asks the device GET_LEN and caches it; SET_CUR and GET_CUR
// must carry exactly that length (else ENOBUFS, nothing sent); GET_LEN takes 2 bytes and always
// reaches the device; GET_INFO takes 1 byte and answers `info`. A device failure becomes ENODEV
// when it is gone, ETIMEDOUT when it did not answer, else EPIPE (a stall).
class UvcDriverFake {
 public:
  UvcDriverFake(const std::vector<UnitSpec>& units, UvcDevice device) : device_(std::move(device)) {
    for (const UnitSpec& unit : units) bmControls_[unit.id] = unit.bmControls;
  }

  std::optional<int> forcedErrno;  // every query fails with this
  // The device answers GET_CUR with this many bytes: uvcvideo on 6.1 then
  // returns the byte count from the ioctl.
  std::optional<int> shortGetCur;
  std::vector<std::string> log;               // "unit selector query size" of each query
  std::map<std::uint8_t, std::uint8_t> info;  // GET_INFO by selector; else 0x03 (GET and SET)
  // How many of the driver's set-ups of a selector (its own GET_LEN at the
  // control's first use) fail, as when the camera fails that request.
  std::map<std::uint8_t, int> setUpFailures;

  int Query(uvc_xu_control_query& q) {
    log.push_back(std::to_string(q.unit) + " " + std::to_string(q.selector) + " " +
                  std::to_string(q.query) + " " + std::to_string(q.size));
    if (forcedErrno) return *forcedErrno;
    const auto unit = bmControls_.find(q.unit);
    if (unit == bmControls_.end()) return ENOENT;
    const std::vector<std::uint8_t>& bm = unit->second;
    const unsigned bit = q.selector - 1u;
    if (q.selector == 0 || bit / 8 >= bm.size() || (bm[bit / 8] & (1u << (bit % 8))) == 0) {
      return ENOENT;
    }
    const auto key = std::make_pair(q.unit, q.selector);
    auto cached = lengths_.find(key);
    if (cached == lengths_.end()) {
      if (setUpFailures[q.selector] > 0) {
        --setUpFailures[q.selector];
        return ENOENT;
      }
      std::uint32_t reported = 0;
      if (failed(device_(UvcRequest::GetLen, q.selector, nullptr, 0, reported))) return ENOENT;
      cached = lengths_.emplace(key, static_cast<std::uint16_t>(reported)).first;
    }
    std::uint32_t reported = 0;
    switch (q.query) {
      case UVC_GET_LEN: {
        if (q.size != 2) return ENOBUFS;
        const int error = errnoOf(device_(UvcRequest::GetLen, q.selector, nullptr, 0, reported));
        if (error == 0) {
          q.data[0] = static_cast<std::uint8_t>(reported);
          q.data[1] = static_cast<std::uint8_t>(reported >> 8);
        }
        return error;
      }
      case UVC_GET_INFO: {
        if (q.size != 1) return ENOBUFS;
        const auto bits = info.find(q.selector);
        q.data[0] = bits != info.end() ? bits->second : 0x03;
        return 0;
      }
      case UVC_SET_CUR:
      case UVC_GET_CUR:
        if (q.size != cached->second) return ENOBUFS;
        return errnoOf(device_(q.query == UVC_SET_CUR ? UvcRequest::SetCur : UvcRequest::GetCur,
                               q.selector, q.data, q.size, reported));
      default:
        return EINVAL;
    }
  }

 private:
  static int errnoOf(HResult result) {
    if (result == hr::Ok) return 0;
    if (result == hr::SemTimeout) return ETIMEDOUT;  // the driver's 5 s ran out
    return result == hr::DeviceNotConnected ? ENODEV : EPIPE;
  }
  std::map<std::uint8_t, std::vector<std::uint8_t>> bmControls_;  // by unit
  UvcDevice device_;
  std::map<std::pair<std::uint8_t, std::uint8_t>, std::uint16_t> lengths_;
};

// A device node as the fake kernel answers it.
struct FakeNode {
  int openErrno = 0;  // open fails with this
  std::uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
  std::string busInfo;  // what VIDIOC_QUERYCAP reports
  int queryCapErrno = 0;
  UvcDriverFake* uvc = nullptr;  // the camera behind UVCIOC_CTRL_QUERY
  std::string rdev;              // what fstat finds opened: "major:minor"
  // uvcvideo's stream ownership: another handle owns it (REQBUFS answers
  // EBUSY), or REQBUFS fails with this.
  bool streamOwned = false;
  int reqbufsErrno = 0;
  int reqbufsCalls = 0;
  int reqbufsOther = 0;  // REQBUFS with a count other than 0, or another type or memory
  int userptrErrno = 0;  // REQBUFS with user pointers fails with this (EINVAL: not taken)
  // The descriptor of ours whose buffers own the stream (-1: none), and
  // their memory; closing it gives the stream back.
  int heldBy = -1;
  std::uint32_t heldMemory = 0;
};

// The real sysfs reads (on the fake tree) with fake device nodes.
class FakeKernelIo : public linux_host::SystemKernelIo {
 public:
  std::map<std::string, FakeNode> nodes;  // by device node path
  std::map<int, std::string> openFds;
  int opens = 0;
  std::vector<std::string> opened;  // every node an open was tried on, in order

  int openDevice(const std::string& path, int& error) override {
    opened.push_back(path);
    const auto node = nodes.find(path);
    if (node == nodes.end()) {
      error = std::filesystem::exists(path) ? ENXIO : ENOENT;
      return -1;
    }
    if (node->second.openErrno != 0) {
      error = node->second.openErrno;
      return -1;
    }
    ++opens;
    const int fd = nextFd_++;
    openFds[fd] = path;
    error = 0;
    return fd;
  }
  void closeDevice(int fd) override {
    const auto open = openFds.find(fd);
    if (open == openFds.end()) {
      ++badCloses;
      return;
    }
    FakeNode& node = nodes[open->second];
    if (node.heldBy == fd) node.heldBy = -1;
    openFds.erase(open);
  }
  // With `writesRefused` no sysfs attribute can be written (a user who may
  // not write them).
  bool writesRefused = false;
  bool writeFile(const std::string& path, const std::string& contents) override {
    if (writesRefused) return false;
    // An attribute takes the value written whole (a regular file would keep
    // a longer old value's tail).
    if (!std::filesystem::exists(path)) return false;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    return true;
  }
  int deviceNumber(int fd, std::string& number) override {
    const auto open = openFds.find(fd);
    if (open == openFds.end()) return EBADF;
    number = nodes[open->second].rdev;
    return 0;
  }
  using SystemKernelIo::ioctl;
  int ioctl(int fd, unsigned long request, void* argument, int& value) override {
    value = 0;
    const auto open = openFds.find(fd);
    if (open == openFds.end()) return EBADF;
    FakeNode& node = nodes[open->second];
    if (request == VIDIOC_REQBUFS) {
      const auto* buffers = static_cast<const v4l2_requestbuffers*>(argument);
      ++node.reqbufsCalls;
      if (buffers->count != 0 || buffers->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
          buffers->memory != V4L2_MEMORY_MMAP) {
        ++node.reqbufsOther;
      }
      if (node.reqbufsErrno != 0) return node.reqbufsErrno;
      if (node.streamOwned || (node.heldBy >= 0 && node.heldBy != fd)) return EBUSY;
      if (buffers->memory == V4L2_MEMORY_USERPTR && node.userptrErrno != 0) {
        return node.userptrErrno;
      }
      // Buffers make this descriptor the owner; none gives the stream back.
      node.heldBy = buffers->count != 0 ? fd : -1;
      node.heldMemory = buffers->memory;
      return 0;
    }
    if (request == VIDIOC_QUERYCAP) {
      if (node.queryCapErrno != 0) return node.queryCapErrno;
      auto* caps = static_cast<v4l2_capability*>(argument);
      *caps = {};
      std::strncpy(reinterpret_cast<char*>(caps->driver), "uvcvideo", sizeof caps->driver);
      std::memcpy(caps->bus_info, node.busInfo.data(),
                  std::min(node.busInfo.size(), sizeof caps->bus_info - 1));
      caps->device_caps = node.deviceCaps;
      caps->capabilities = node.deviceCaps | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    if (request == UVCIOC_CTRL_QUERY && node.uvc != nullptr) {
      auto& query = *static_cast<uvc_xu_control_query*>(argument);
      const int error = node.uvc->Query(query);
      if (error == 0 && query.query == UVC_GET_CUR && node.uvc->shortGetCur) {
        value = *node.uvc->shortGetCur;
      }
      return error;
    }
    return ENOTTY;
  }
  int badCloses = 0;

 private:
  int nextFd_ = 100;
};

// A capture node and its metadata node for a camera made by AddCamera.
inline void AddUvcNodes(FakeSysfs& tree, FakeKernelIo& io, const std::string& vcFolder,
                        const std::string& busInfo, int capture, int metadata, UvcDriverFake* uvc) {
  tree.AddVideoNode(vcFolder, capture, 0);
  tree.AddVideoNode(vcFolder, metadata, 1);
  for (const int n : {capture, metadata}) {
    const std::uint32_t kind = n == capture ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE;
    io.nodes[tree.devNode(n)] =
        FakeNode{0, kind | V4L2_CAP_STREAMING, busInfo, 0, uvc, "81:" + std::to_string(n)};
  }
}

}  // namespace qv::testing
