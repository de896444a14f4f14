#include "platform/linux/linux_camera_stack.h"

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/failure_notes.h"
#include "platform/linux/os_error.h"
#include "platform/linux/usb_descriptors.h"
#include "platform/linux/usb_sysfs.h"

namespace qv::linux_host {
namespace {

constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057u);  // E_INVALIDARG
// Kernel Streaming's answer to a property buffer too small for the value
// (STATUS_BUFFER_TOO_SMALL).
constexpr HResult kBufferTooSmall = hr::fromWin32(win32err::InsufficientBuffer);
// The sysfs "descriptors" file holds the device descriptor and every
// configuration (each at most 64 KB by wTotalLength).
constexpr std::size_t kDescriptorsLimit = 1 << 20;
// The driver whose nodes are cameras.
constexpr std::string_view kUvcDriver = "uvcvideo";
// A UVC control request carries at most 65535 bytes (wLength).
constexpr std::uint32_t kMaxControlLength = 0xFFFF;

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// "videoN" gives N; anything else (radio, vbi, v4l-subdev nodes) is no
// video node.
bool videoNodeNumber(const std::string& name, unsigned long& number) {
  constexpr std::string_view kPrefix = "video";
  if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 9 ||
      name.compare(0, kPrefix.size(), kPrefix) != 0) {
    return false;
  }
  number = 0;
  for (std::size_t i = kPrefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    number = number * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return true;
}

// One video input device of the enumeration.
struct VideoNode {
  std::string name;          // "video0"
  std::string deviceNode;    // "/dev/video0"
  std::string devicePath;    // the "DevicePath"
  std::string deviceNumber;  // "81:0", the class device's `dev`
};

// Whether the open descriptor is the device sysfs enumerated: a node in a
// container's /dev, or one whose number was handed to another device after
// an unplug, opens something else than the class device read.
bool isEnumeratedNode(KernelIo& io, int fd, const std::string& deviceNumber) {
  std::string opened;
  return io.deviceNumber(fd, opened) == 0 && opened == deviceNumber;
}

// Whether another handle owns the node's stream. uvcvideo gives the stream
// to the first handle that asks for buffers or sets the format, and refuses
// every other handle with EBUSY until that one lets go; REQBUFS with count
// 0 asks exactly that, and on a stream nobody owns it takes and gives back
// the ownership in the same call and allocates nothing. 0 with `inUse`, or
// the errno of the request.
int queryStreamInUse(KernelIo& io, int fd, bool& inUse) {
  v4l2_requestbuffers request{};
  request.count = 0;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  const int error = io.ioctl(fd, VIDIOC_REQBUFS, &request);
  if (error == EBUSY) {
    inUse = true;
    return 0;
  }
  inUse = false;
  return error;
}

// A failed system call's errno: kept for the run's reason (shown under
// -dbg beside the status), and mapped to the HRESULT the logic sees.
HResult failedCall(int error) {
  runNotes().setSystemError({error, errnoName(error)});
  return hresultFromErrno(error);
}

// The opened camera: its node and its extension units (the topology nodes,
// in descriptor order). Shared by the filter and the interfaces taken from
// it, so the descriptor stays open until the last of them is released.
struct OpenNode {
  UniqueFd fd;
  std::vector<ExtensionUnitDescriptor> units;
  std::string usbDevice;  // the camera's USB device folder in sysfs (resolved)
};

// Whether the unit's bmControls declares the selector (selector n is bit
// n - 1); uvcvideo makes a control for exactly these.
bool declares(const ExtensionUnitDescriptor& unit, std::uint32_t selector) {
  const std::uint32_t bit = selector - 1;
  return selector != 0 && bit / 8 < unit.bmControls.size() &&
         (unit.bmControls[bit / 8] >> (bit % 8) & 1) != 0;
}

class LinuxKsControl final : public IKsControl {
 public:
  LinuxKsControl(KernelIo& io, std::shared_ptr<OpenNode> node) : io_(io), node_(std::move(node)) {}

  HResult KsProperty(KSP_NODE* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned) override {
    if (property == nullptr) return hr::Pointer;
    if (propertyLength < sizeof(KSP_NODE)) return kInvalidArg;
    if (data == nullptr && dataLength != 0) return hr::Pointer;
    const bool basicSupport = (property->Property.Flags & kKsPropertyTypeBasicSupport) != 0;
    const std::uint32_t type = property->Property.Flags & (kKsPropertyTypeGet | kKsPropertyTypeSet);
    if (!basicSupport && type != kKsPropertyTypeGet && type != kKsPropertyTypeSet) {
      return kInvalidArg;
    }
    if (property->Property.Set == kKsPropSetIdPin) {
      if (basicSupport) return hr::NotFound;
      return pinProperty(*property, type, data, dataLength, bytesReturned);
    }
    if (property->NodeId >= node_->units.size()) return hr::NotFound;
    const ExtensionUnitDescriptor& unit = node_->units[property->NodeId];
    // The unit answers only to its own property set, as on Windows.
    if (!(property->Property.Set == unit.guidExtensionCode)) return hr::SetNotFound;
    if (property->Property.Id == 0 || property->Property.Id > 0xFF) return hr::NotFound;
    if (basicSupport) {
      return controlAccess(unit, property->Property.Id, data, dataLength, bytesReturned);
    }
    if (dataLength > kMaxControlLength) return kInvalidArg;

    uvc_xu_control_query query{};
    query.unit = unit.unitId;
    query.selector = static_cast<std::uint8_t>(property->Property.Id);
    if (type == kKsPropertyTypeGet && dataLength == 0) {
      // A length query: UVC_GET_LEN, answered as Kernel Streaming does, with
      // ERROR_MORE_DATA and the length as the byte count.
      std::uint8_t length[2] = {};
      query.query = UVC_GET_LEN;
      query.size = sizeof length;
      query.data = length;
      const HResult result = controlQuery(unit, query);
      if (failed(result)) return result;
      if (bytesReturned != nullptr) *bytesReturned = length[0] | (length[1] << 8);
      return hr::MoreData;
    }
    // uvcvideo takes SET_CUR and GET_CUR only with the control's own length;
    // another length comes back as the driver's error.
    query.query = type == kKsPropertyTypeSet ? UVC_SET_CUR : UVC_GET_CUR;
    query.size = static_cast<std::uint16_t>(dataLength);
    query.data = static_cast<std::uint8_t*>(data);
    const HResult result = controlQuery(unit, query);
    if (failed(result)) return result;
    if (bytesReturned != nullptr) *bytesReturned = type == kKsPropertyTypeGet ? dataLength : 0;
    return hr::Ok;
  }

 private:
  // One UVCIOC_CTRL_QUERY. A reply shorter than asked is a failed request:
  // 6.1 returns its byte count (the rest of the buffer holds stale kernel
  // memory), later kernels fail it with EPIPE; either way it is the
  // stalled-request error here.
  //
  // uvcvideo answers ENOENT both for a selector outside the unit's
  // bmControls and for a declared control whose set-up failed: at its first
  // use it asks the camera GET_LEN and GET_INFO itself, turns any failure of
  // those into ENOENT and leaves the control unset, to be asked again at the
  // next query. A declared control is therefore asked once more, and when
  // the driver still cannot set it up that is what is reported, not a
  // control missing from the unit.
  HResult controlQuery(const ExtensionUnitDescriptor& unit, uvc_xu_control_query& query) {
    int value = 0;
    int error = io_.ioctl(node_->fd.get(), UVCIOC_CTRL_QUERY, &query, value);
    if (error == ENOENT && declares(unit, query.selector)) {
      error = io_.ioctl(node_->fd.get(), UVCIOC_CTRL_QUERY, &query, value);
      if (error == ENOENT) {
        runNotes().setSystemError({error, errnoName(error)});
        return kHrControlNotSetUp;
      }
    }
    if (error != 0) return failedCall(error);
    if (value != 0) return hresultFromErrno(EPIPE);
    return hr::Ok;
  }

  // A control's access flags. uvcvideo creates a control only for each bit
  // of the unit's bmControls and refuses any other selector (ENOENT), and
  // takes GET_CUR and SET_CUR only where the control's GET_INFO allows them
  // (EBADRQC); it asks GET_INFO itself at the control's first use and
  // forwards ours (bit 0: GET, bit 1: SET). An undeclared control costs no
  // ioctl.
  HResult controlAccess(const ExtensionUnitDescriptor& unit, std::uint32_t selector, void* data,
                        std::uint32_t dataLength, std::uint32_t* bytesReturned) {
    if (!declares(unit, selector)) return hr::NotFound;
    if (dataLength < sizeof(std::uint32_t)) return kBufferTooSmall;
    std::uint8_t info = 0;
    uvc_xu_control_query query{};
    query.unit = unit.unitId;
    query.selector = static_cast<std::uint8_t>(selector);
    query.query = UVC_GET_INFO;
    query.size = sizeof info;
    query.data = &info;
    const HResult result = controlQuery(unit, query);
    if (failed(result)) return result;
    const std::uint32_t access = ((info & 0x01) != 0 ? kKsPropertyTypeGet : 0u) |
                                 ((info & 0x02) != 0 ? kKsPropertyTypeSet : 0u);
    std::memcpy(data, &access, sizeof access);
    if (bytesReturned != nullptr) *bytesReturned = sizeof access;
    return hr::Ok;
  }

  // The filter's pin properties, as a capture filter with one pin factory
  // (the node's capture stream) answers them; the pin id stands where a
  // node request has its node id. Its instance count says whether another
  // program streams from the camera.
  HResult pinProperty(const KSP_NODE& property, std::uint32_t type, void* data,
                      std::uint32_t dataLength, std::uint32_t* bytesReturned) {
    if (type != kKsPropertyTypeGet || property.NodeId != 0) return hr::NotFound;
    auto answer = [&](const void* value, std::uint32_t size) {
      if (dataLength < size) return static_cast<HResult>(kBufferTooSmall);
      std::memcpy(data, value, size);
      if (bytesReturned != nullptr) *bytesReturned = size;
      return hr::Ok;
    };
    switch (property.Property.Id) {
      case kKsPropertyPinCTypes: {
        const std::uint32_t count = 1;
        return answer(&count, sizeof count);
      }
      case kKsPropertyPinCategory:
        return answer(&kPinNameVideoCapture, sizeof kPinNameVideoCapture);
      case kKsPropertyPinGlobalCInstances: {
        if (dataLength < sizeof(KsPinCInstances)) return kBufferTooSmall;
        bool inUse = false;
        const int error = queryStreamInUse(io_, node_->fd.get(), inUse);
        if (error != 0) return failedCall(error);
        const KsPinCInstances instances{1, inUse ? 1u : 0u};
        return answer(&instances, sizeof instances);
      }
      default:
        return hr::NotFound;
    }
  }

  KernelIo& io_;
  std::shared_ptr<OpenNode> node_;
};

class LinuxTopology final : public IKsTopologyInfo {
 public:
  explicit LinuxTopology(std::shared_ptr<OpenNode> node) : node_(std::move(node)) {}

  HResult get_NumNodes(std::uint32_t* count) override {
    if (count == nullptr) return hr::Pointer;
    *count = static_cast<std::uint32_t>(node_->units.size());
    return hr::Ok;
  }
  HResult get_NodeType(std::uint32_t index, Guid* nodeType) override {
    if (nodeType == nullptr) return hr::Pointer;
    if (index >= node_->units.size()) return kInvalidArg;
    *nodeType = kKsNodeTypeDevSpecific;  // every node is an extension unit
    return hr::Ok;
  }

 private:
  std::shared_ptr<OpenNode> node_;
};

// Whether the node is a video capture node (uvcvideo's other node per
// camera carries metadata).
bool isCaptureNode(KernelIo& io, int fd) {
  v4l2_capability caps{};
  if (io.ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) return false;
  // The node's own capabilities; the device's as a whole only from drivers
  // that do not report them per node.
  const std::uint32_t nodeCaps =
      (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
  return (nodeCaps & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

// The video nodes among a video4linux class folder's names ("videoN"), by N.
std::vector<std::string> videoNodeNames(std::vector<std::string> names) {
  std::vector<std::pair<unsigned long, std::string>> numbered;
  for (std::string& name : names) {
    unsigned long number = 0;
    if (videoNodeNumber(name, number)) numbered.emplace_back(number, std::move(name));
  }
  std::sort(numbered.begin(), numbered.end());
  std::vector<std::string> sorted;
  for (auto& entry : numbered) sorted.push_back(std::move(entry.second));
  return sorted;
}

// The camera's streams held by this process, and the USB device's runtime
// power control while it was set to "on" for the hold.
//
// Stream: uvcvideo gives a capture node's stream to the first handle that
// asks for buffers and answers VIDIOC_REQBUFS (and so every capture
// program's start) with EBUSY on every other handle until that one asks
// for none or closes; it allocates nothing for user-pointer buffers. Since
// 6.17 setting the format no longer takes the stream, so only buffers hold
// it, on every kernel.
//
// Power: since uvcvideo's granular power-management change an open handle
// no longer keeps the camera resumed; between requests more than the USB
// autosuspend delay apart (2 s by default) the kernel may suspend it, and
// a chip in download mode may not come back from that as it was. "on" in
// the device's power/control forbids autosuspend; the value found is put
// back on release. The file is root's unless a udev rule grants it; where
// it cannot be written the engine's own pacing still keeps every gap
// between requests under a second.
class LinuxStreamHold final : public IStreamHold {
 public:
  explicit LinuxStreamHold(KernelIo& io) : io_(io) {}
  ~LinuxStreamHold() override {
    for (Held& held : held_) {
      // Asking for no buffers gives the stream back; a camera that went
      // away (its reset re-enumerates it) has nothing left to give back,
      // and closing the node frees the rest.
      v4l2_requestbuffers release{};
      release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      release.memory = held.memory;
      (void)io_.ioctl(held.fd.get(), VIDIOC_REQBUFS, &release);
      held.fd.reset();
    }
    if (!powerControl_.empty()) (void)io_.writeFile(powerControl_, savedPower_);
  }
  LinuxStreamHold(const LinuxStreamHold&) = delete;
  LinuxStreamHold& operator=(const LinuxStreamHold&) = delete;

  // Takes the stream of the open capture node: one user-pointer buffer, or
  // one memory-mapped buffer from a driver that takes no user pointers
  // (EINVAL). 0, or the errno (EBUSY: another handle owns the stream).
  int take(UniqueFd fd) {
    std::uint32_t memory = V4L2_MEMORY_USERPTR;
    int error = requestOne(fd.get(), memory);
    if (error == EINVAL) {
      memory = V4L2_MEMORY_MMAP;
      error = requestOne(fd.get(), memory);
    }
    if (error == 0) held_.push_back({std::move(fd), memory});
    return error;
  }
  bool empty() const { return held_.empty(); }

  // Keeps the USB device resumed until release, when its power control
  // can be written.
  void keepAwake(const std::string& usbDevice) {
    const std::string path = usbDevice + "/power/control";
    std::string value;
    if (!io_.readFile(path, value, 16)) return;
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    if (value == "on" || !io_.writeFile(path, "on")) return;
    powerControl_ = path;
    savedPower_ = value;
  }

 private:
  struct Held {
    UniqueFd fd;
    std::uint32_t memory;
  };
  int requestOne(int fd, std::uint32_t memory) {
    v4l2_requestbuffers request{};
    request.count = 1;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = memory;
    return io_.ioctl(fd, VIDIOC_REQBUFS, &request);
  }

  KernelIo& io_;
  std::vector<Held> held_;
  std::string powerControl_;
  std::string savedPower_;
};

class LinuxFilter final : public ICaptureFilter {
 public:
  LinuxFilter(KernelIo& io, const KernelRoots& roots, std::shared_ptr<OpenNode> node)
      : io_(io), roots_(roots), node_(std::move(node)) {}

  HResult QueryKsControl(std::unique_ptr<IKsControl>& out) override {
    out = std::make_unique<LinuxKsControl>(io_, node_);
    return hr::Ok;
  }
  HResult QueryTopology(std::unique_ptr<IKsTopologyInfo>& out) override {
    out = std::make_unique<LinuxTopology>(node_);
    return hr::Ok;
  }
  // uvcvideo offers no private route to the extension unit.
  HResult QueryVendorXuAccess(std::unique_ptr<IVendorXuAccess>& out) override {
    out.reset();
    return hr::NoInterface;
  }
  // Every capture node of the camera's USB device, not only the bound one:
  // a camera with a second capture function (infrared, for face login) or
  // a second streaming interface has a node for each, and a program
  // streaming from any of them shares the chip being written.
  HResult HoldStream(std::unique_ptr<IStreamHold>& out) override {
    out.reset();
    if (node_->usbDevice.empty()) return failedCall(ENODEV);
    auto hold = std::make_unique<LinuxStreamHold>(io_);
    const std::string classFolder = roots_.sysfs + "/class/video4linux";
    int lastError = ENODEV;
    std::vector<std::string> names;
    (void)io_.listFolder(classFolder, names);
    for (const std::string& name : videoNodeNames(std::move(names))) {
      UsbInterfaceInfo usb;
      std::string deviceNumber;
      if (!readUsbInterface(io_, classFolder + "/" + name + "/device", usb) ||
          usb.deviceFolder != node_->usbDevice || usb.driver != kUvcDriver ||
          !readAttribute(io_, classFolder + "/" + name + "/dev", deviceNumber)) {
        continue;
      }
      int error = 0;
      const int fd = io_.openDevice(roots_.dev + "/" + name, error);
      if (fd < 0) {
        lastError = error;
        continue;
      }
      UniqueFd open(io_, fd);
      if (!isEnumeratedNode(io_, fd, deviceNumber) || !isCaptureNode(io_, fd)) continue;
      error = hold->take(std::move(open));
      if (error == EBUSY) return failedCall(error);  // `hold` gives back what it took
      if (error != 0) lastError = error;
    }
    // A node that could not be held (no permission on an infrared node) is
    // left; the camera counts as held when one of its nodes is.
    if (hold->empty()) return failedCall(lastError);
    hold->keepAwake(node_->usbDevice);
    out = std::move(hold);
    return hr::Ok;
  }

 private:
  KernelIo& io_;
  const KernelRoots& roots_;
  std::shared_ptr<OpenNode> node_;
};

class LinuxPropertyBag final : public IPropertyBag {
 public:
  explicit LinuxPropertyBag(std::string devicePath) : devicePath_(std::move(devicePath)) {}

  HResult ReadDevicePath(char* ansi, std::size_t capacity) override {
    if (ansi == nullptr) return hr::Pointer;
    // The path is ASCII; like the system's conversion into a fixed buffer, a
    // text too long is cut at `capacity` bytes.
    std::memcpy(ansi, devicePath_.c_str(), std::min(devicePath_.size() + 1, capacity));
    return hr::Ok;
  }

 private:
  std::string devicePath_;
};

class LinuxMoniker final : public IDeviceMoniker {
 public:
  LinuxMoniker(LinuxCameraStack& stack, KernelIo& io, const KernelRoots& roots, VideoNode node)
      : stack_(stack), io_(io), roots_(roots), node_(std::move(node)) {}

  HResult BindToObject(std::unique_ptr<ICaptureFilter>& out) override {
    out.reset();
    auto open = std::make_shared<OpenNode>();
    int error = 0;
    const int fd = io_.openDevice(node_.deviceNode, error);
    if (fd < 0) {
      if (error == EACCES || error == EPERM) stack_.notePermissionDenied(node_.deviceNode);
      // sysfs shows the camera but /dev has no node for it: a container or
      // WSL given the sysfs tree without the device.
      if (error == ENOENT) {
        runNotes().note(FailureKind::CameraNotOpened,
                        node_.deviceNode +
                            " is missing although the camera is there (a container or WSL "
                            "without the camera's device node)",
                        error);
      }
      return hresultFromErrno(error);
    }
    open->fd = UniqueFd(io_, fd);
    // The node may have changed hands since the walk (an unplug, and its
    // number given to the next device): then it is not this camera.
    if (!isEnumeratedNode(io_, fd, node_.deviceNumber)) return hresultFromErrno(ENODEV);
    // The node's parent is the camera's VideoControl interface; its units
    // are in the device's descriptors, in its active configuration. A camera
    // whose descriptors cannot be read has an empty topology and is passed
    // over by the search.
    UsbInterfaceInfo usb;
    std::string descriptors;
    if (readUsbInterface(io_, roots_.sysfs + "/class/video4linux/" + node_.name + "/device", usb) &&
        io_.readFile(usb.deviceFolder + "/descriptors", descriptors, kDescriptorsLimit)) {
      open->units = findExtensionUnits(
          {reinterpret_cast<const std::uint8_t*>(descriptors.data()), descriptors.size()},
          usb.interfaceNumber, usb.configuration);
    }
    open->usbDevice = usb.deviceFolder;
    out = std::make_unique<LinuxFilter>(io_, roots_, std::move(open));
    return hr::Ok;
  }

  HResult BindToStorage(std::unique_ptr<IPropertyBag>& out) override {
    out = std::make_unique<LinuxPropertyBag>(node_.devicePath);
    return hr::Ok;
  }

 private:
  LinuxCameraStack& stack_;
  KernelIo& io_;
  const KernelRoots& roots_;
  VideoNode node_;
};

class LinuxMonikerEnum final : public IMonikerEnum {
 public:
  LinuxMonikerEnum(LinuxCameraStack& stack, KernelIo& io, const KernelRoots& roots,
                   std::vector<VideoNode> nodes)
      : stack_(stack), io_(io), roots_(roots), nodes_(std::move(nodes)) {}

  HResult Reset() override {
    position_ = 0;
    return hr::Ok;
  }
  HResult Next(std::unique_ptr<IDeviceMoniker>& out) override {
    out.reset();
    if (position_ >= nodes_.size()) return hr::False;
    out = std::make_unique<LinuxMoniker>(stack_, io_, roots_, nodes_[position_++]);
    return hr::Ok;
  }

 private:
  LinuxCameraStack& stack_;
  KernelIo& io_;
  const KernelRoots& roots_;
  std::vector<VideoNode> nodes_;
  std::size_t position_ = 0;
};

}  // namespace

std::string devicePathOf(const std::string& instanceId, const std::string& deviceNode) {
  std::string path = "v4l:" + lowerCase(instanceId);
  for (char& c : path) {
    if (c == '\\') c = '#';
  }
  return path + "#" + deviceNode;
}

LinuxCameraStack::LinuxCameraStack(KernelIo& io, KernelRoots roots, IConsole& console)
    : io_(io), roots_(std::move(roots)), console_(console) {}

void LinuxCameraStack::noteNoCamera(const std::string& why) {
  // Every walk of a run would say the same.
  if (!runNotes().has(FailureKind::NoCamera)) runNotes().note(FailureKind::NoCamera, why);
}

void LinuxCameraStack::notePermissionDenied(const std::string& deviceNode) {
  if (!notedNodes_.insert(deviceNode).second) return;
  console_.WriteError("qvflash: no permission to open " + deviceNode +
                      "; skipping it (add the user to the \"video\" group, e.g. "
                      "sudo usermod -aG video $USER, and log in again)\n");
}

HResult LinuxCameraStack::CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) {
  out.reset();
  const std::string classFolder = roots_.sysfs + "/class/video4linux";
  std::vector<std::string> names;
  if (!io_.listFolder(classFolder, names)) {  // no video4linux at all
    noteNoCamera("no video4linux device on this system");
    return hr::False;
  }

  std::vector<VideoNode> nodes;
  for (const std::string& name : videoNodeNames(std::move(names))) {
    const std::string folder = classFolder + "/" + name;
    // Only uvcvideo's nodes, judged by sysfs before anything is opened: the
    // node's device is a USB VideoControl interface bound to uvcvideo. The
    // capture nodes of camera image processors, platform capture drivers
    // and test drivers are no USB camera, and opening (and settling) each
    // would cost every walk their number times the settle wait.
    UsbInterfaceInfo usb;
    if (!readUsbInterface(io_, folder + "/device", usb) || usb.interfaceClass != kUsbClassVideo ||
        usb.interfaceSubclass != kUsbSubclassVideoControl || usb.driver != kUvcDriver) {
      continue;
    }
    VideoNode node{name, roots_.dev + "/" + name, {}, {}};
    if (!readAttribute(io_, folder + "/dev", node.deviceNumber)) continue;
    int error = 0;
    const int fd = io_.openDevice(node.deviceNode, error);
    if (fd >= 0) {
      const UniqueFd open(io_, fd);
      if (!isEnumeratedNode(io_, open.get(), node.deviceNumber) ||
          !isCaptureNode(io_, open.get())) {
        continue;
      }
    } else {
      // Not open to us: judged by sysfs. The first node of a device is its
      // capture node (uvcvideo registers the metadata node second); it is
      // listed so that binding it fails and says why.
      std::string index;
      if (!readAttribute(io_, folder + "/index", index) || index != "0") continue;
    }
    // The registry's instance ID of the same interface, from the same
    // sysfs facts, so that the identity lookup finds exactly this camera.
    node.devicePath = devicePathOf(usbInstanceId(usb), node.deviceNode);
    nodes.push_back(std::move(node));
  }
  if (nodes.empty()) {
    std::vector<std::string> drivers;
    noteNoCamera(io_.listFolder(roots_.sysfs + "/bus/usb/drivers/uvcvideo", drivers)
                     ? "no capture node of a USB camera bound to uvcvideo"
                     : "the uvcvideo driver is not loaded (modprobe uvcvideo)");
    return hr::False;
  }
  out = std::make_unique<LinuxMonikerEnum>(*this, io_, roots_, std::move(nodes));
  return hr::Ok;
}

}  // namespace qv::linux_host
