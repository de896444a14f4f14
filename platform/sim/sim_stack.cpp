// The simulated camera stack: video-input enumeration, capture filters with
// their Kernel Streaming control, topology and private interface, the
// Image-class device registry and the clock, all backed by the camera models
// of one scene.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/sim/sim_session.h"
#include "sim/camera_model.h"
#include "sim/scene.h"
#include "sim/sim_clock.h"
#include "sim/trace.h"

namespace qv::sim {
namespace {

constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057u);        // E_INVALIDARG
constexpr HResult kCoNotInitialized = static_cast<HResult>(0x800401F0u);  // CO_E_NOTINITIALIZED
constexpr HResult kBufferTooSmall = hr::fromWin32(win32err::InsufficientBuffer);
constexpr std::uint32_t kErrorInvalidData = 13;  // ERROR_INVALID_DATA

// KSNODETYPE_VIDEO_PROCESSING: the node type the scene's "other" nodes report.
constexpr Guid kKsNodeTypeVideoProcessing = {
    0xDFF229E5, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

enum class Kind : std::size_t {
  MonikerEnum,
  Moniker,
  Filter,
  KsControl,
  Topology,
  VendorXu,
  PropertyBag,
  ImageDeviceList,
  StreamHold,
  Count
};
constexpr const char* kKindNames[] = {"moniker_enum", "moniker",           "filter",
                                      "ks_control",   "topology",          "vendor_xu",
                                      "property_bag", "image_device_list", "stream_hold"};

struct SessionState {
  SessionState(Scene s, bool real) : scene(std::move(s)), clock(real), trace(scene.tracePath) {}
  Scene scene;
  SimClock clock;
  TraceSink trace;
  std::vector<std::unique_ptr<CameraModel>> cameras;
  std::array<std::size_t, static_cast<std::size_t>(Kind::Count)> live{};
  std::uint32_t coInit = 0;
  std::uint32_t coUninit = 0;
  bool flashFilesOk = true;
  std::uint64_t sleptNs = 0;
  // The cameras in walk order, and the bus generation of each as the walk
  // last saw it: a camera that dropped off (its chip reset) leaves the walk
  // and, once back on the bus, comes last, as a new device does.
  std::vector<std::size_t> walk;
  std::vector<std::uint32_t> walkGeneration;

  // The first use of the camera stack replaces the trace file.
  void touch() { trace.open(); }

  // Brings the walk up to date with the bus (a no-op while no camera
  // re-enumerates, so the walk is the scene's order).
  void refreshWalk() {
    std::erase_if(walk,
                  [&](std::size_t i) { return cameras[i]->generation() != walkGeneration[i]; });
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      const CameraModel& model = *cameras[i];
      if (model.generation() == walkGeneration[i] || model.backAtNs() > clock.nowNs()) continue;
      walkGeneration[i] = model.generation();
      walk.push_back(i);
    }
  }
  // Whether what the host holds of camera `i` since bus generation
  // `generation` still reaches it (not once the camera dropped off).
  bool alive(std::size_t i, std::uint32_t generation) const {
    return cameras[i]->generation() == generation;
  }
};
using StatePtr = std::shared_ptr<SessionState>;

// Counts one live interface object of a kind for its lifetime.
class Counted {
 public:
  Counted(StatePtr state, Kind kind) : state_(std::move(state)), kind_(kind) {
    ++state_->live[static_cast<std::size_t>(kind_)];
  }
  ~Counted() { --state_->live[static_cast<std::size_t>(kind_)]; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
  SessionState& state() const { return *state_; }
  const StatePtr& ptr() const { return state_; }

 private:
  StatePtr state_;
  Kind kind_;
};

class SimKsControl final : public IKsControl {
 public:
  SimKsControl(StatePtr state, std::size_t camera, std::uint32_t generation)
      : counted_(std::move(state), Kind::KsControl), camera_(camera), generation_(generation) {}

  HResult KsProperty(KSP_NODE* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned) override {
    if (property == nullptr) return hr::Pointer;
    if (propertyLength < sizeof(KSP_NODE)) return kInvalidArg;
    if (data == nullptr && dataLength != 0) return hr::Pointer;
    CameraModel& model = *counted_.state().cameras[camera_];
    const CameraConfig& config = model.config();
    // The device this control belonged to dropped off the bus: the driver
    // fails everything as for an unplugged camera (requests to the unit
    // traced refused).
    const bool gone = !counted_.state().alive(camera_, generation_);
    if (gone && (property->Property.Flags & kKsPropertyTypeBasicSupport) != 0)
      return hr::DeviceNotConnected;
    if ((property->Property.Flags & kKsPropertyTypeBasicSupport) != 0) {
      return basicSupport(model, *property, data, dataLength, bytesReturned);
    }
    const std::uint32_t type = property->Property.Flags & (kKsPropertyTypeGet | kKsPropertyTypeSet);
    if (type != kKsPropertyTypeGet && type != kKsPropertyTypeSet) return kInvalidArg;
    if (gone && (property->Property.Set == kKsPropSetIdPin ||
                 property->Property.Id == kKsPropertyExtensionUnitInfo)) {
      return hr::DeviceNotConnected;
    }
    // The filter's own pin properties: not the extension unit's, so neither
    // traced nor counted.
    if (property->Property.Set == kKsPropSetIdPin) {
      return pinProperty(config, *property, data, dataLength, bytesReturned);
    }

    if (property->Property.Id == kKsPropertyExtensionUnitInfo && type == kKsPropertyTypeGet) {
      return unitInfo(model, *property, data, dataLength, bytesReturned);
    }

    const HResult routeError = gone ? hr::DeviceNotConnected : unitRouteError(config, *property);
    XuRequest kind = XuRequest::Set;
    if (type == kKsPropertyTypeGet) kind = dataLength == 0 ? XuRequest::Len : XuRequest::Get;
    std::uint32_t reported = 0;
    const HResult result =
        model.request(kind, property->Property.Id, static_cast<std::uint8_t*>(data), dataLength,
                      reported, routeError);
    // Anything but S_OK is a refusal (an injected fault may inject any value).
    if (result != hr::Ok) return result;
    if (kind == XuRequest::Len) {
      // The length travels as the byte count of ERROR_MORE_DATA.
      if (bytesReturned != nullptr) *bytesReturned = reported;
      return hr::MoreData;
    }
    if (bytesReturned != nullptr) *bytesReturned = kind == XuRequest::Get ? dataLength : 0;
    return result;
  }

 private:
  // The extension unit answers on its own node and property set only.
  static HResult unitRouteError(const CameraConfig& config, const KSP_NODE& property) {
    const bool hasTopology = config.route == Route::Ks || config.route == Route::Both;
    const Guid& set = config.secondaryGuid ? XU_GUID_SECONDARY : XU_GUID_PRIMARY;
    if (!hasTopology || (property.Property.Flags & kKsPropertyTypeTopology) == 0 ||
        property.NodeId >= config.nodes.size() || !config.nodes[property.NodeId] ||
        !(property.Property.Set == set)) {
      return hr::SetNotFound;
    }
    return hr::Ok;
  }

  // A control's access flags, as the driver describes the unit it read from
  // the device: not a request to the camera, so neither traced nor counted.
  static HResult basicSupport(const CameraModel& model, const KSP_NODE& property, void* data,
                              std::uint32_t dataLength, std::uint32_t* bytesReturned) {
    const HResult routeError = unitRouteError(model.config(), property);
    if (routeError != hr::Ok) return routeError;
    if (!model.hasControl(property.Property.Id)) return hr::NotFound;
    const std::uint32_t access = kKsPropertyTypeGet | kKsPropertyTypeSet;
    if (data == nullptr || dataLength < sizeof access) return kBufferTooSmall;
    std::memcpy(data, &access, sizeof access);
    if (bytesReturned != nullptr) *bytesReturned = sizeof access;
    return hr::Ok;
  }

  // The unit's descriptor, as the driver hands out the one it read from the
  // device: controls 1 to 23 declared, less the scene's
  // "undeclared_controls". Neither traced nor counted.
  static HResult unitInfo(const CameraModel& model, const KSP_NODE& property, void* data,
                          std::uint32_t dataLength, std::uint32_t* bytesReturned) {
    const HResult routeError = unitRouteError(model.config(), property);
    if (routeError != hr::Ok) return routeError;
    // bLength, CS_INTERFACE, VC_EXTENSION_UNIT, bUnitID; the GUID with its
    // first three fields little-endian; bNumControls; one source, the input
    // terminal; bControlSize 3; bmControls; no string.
    std::uint8_t descriptor[28] = {28, 0x24, 0x06, 2};
    const Guid& set = property.Property.Set;
    for (int i = 0; i < 4; ++i) descriptor[4 + i] = static_cast<std::uint8_t>(set.data1 >> 8 * i);
    for (int i = 0; i < 2; ++i) {
      descriptor[8 + i] = static_cast<std::uint8_t>(set.data2 >> 8 * i);
      descriptor[10 + i] = static_cast<std::uint8_t>(set.data3 >> 8 * i);
    }
    std::memcpy(descriptor + 12, set.data4, sizeof set.data4);
    descriptor[21] = 1;
    descriptor[22] = 1;
    descriptor[23] = 3;
    constexpr std::uint32_t kLastControl = 23;
    for (std::uint32_t control = 1; control <= kLastControl; ++control) {
      if ((model.config().undeclaredControls >> control & 1u) != 0) continue;
      descriptor[24 + (control - 1) / 8] |= static_cast<std::uint8_t>(1u << (control - 1) % 8);
      ++descriptor[20];
    }
    if (bytesReturned != nullptr) *bytesReturned = sizeof descriptor;
    if (data == nullptr || dataLength == 0) return hr::MoreData;
    if (dataLength < sizeof descriptor) return kBufferTooSmall;
    std::memcpy(data, descriptor, sizeof descriptor);
    return hr::Ok;
  }

  // One capture pin factory, pin 0, as a UVC camera's filter has; its
  // global instance count is 1 while another program streams.
  static HResult pinProperty(const CameraConfig& config, const KSP_NODE& property, void* data,
                             std::uint32_t dataLength, std::uint32_t* bytesReturned) {
    if (config.streaming == CameraConfig::Streaming::Unsupported ||
        property.Property.Flags != kKsPropertyTypeGet) {
      return hr::NotFound;
    }
    const auto answer = [&](const void* value, std::uint32_t size) {
      if (bytesReturned != nullptr) *bytesReturned = size;
      if (data == nullptr || dataLength < size) return hr::MoreData;
      std::memcpy(data, value, size);
      return hr::Ok;
    };
    const std::uint32_t pins = 1;
    const KsPinCInstances instances{1, config.streaming == CameraConfig::Streaming::Yes ? 1u : 0u};
    switch (property.Property.Id) {
      case kKsPropertyPinCTypes:
        return answer(&pins, sizeof(pins));
      case kKsPropertyPinCategory:
        if (property.NodeId != 0) return hr::NotFound;
        return answer(&kPinNameVideoCapture, sizeof(Guid));
      case kKsPropertyPinGlobalCInstances:
        if (property.NodeId != 0) return hr::NotFound;
        return answer(&instances, sizeof(instances));
      default:
        return hr::NotFound;
    }
  }

  Counted counted_;
  std::size_t camera_;
  std::uint32_t generation_;
};

class SimTopology final : public IKsTopologyInfo {
 public:
  SimTopology(StatePtr state, std::size_t camera)
      : counted_(std::move(state), Kind::Topology), camera_(camera) {}

  HResult get_NumNodes(std::uint32_t* count) override {
    if (count == nullptr) return hr::Pointer;
    *count = static_cast<std::uint32_t>(nodes().size());
    return hr::Ok;
  }
  HResult get_NodeType(std::uint32_t index, Guid* nodeType) override {
    if (nodeType == nullptr) return hr::Pointer;
    if (index >= nodes().size()) return kInvalidArg;
    *nodeType = nodes()[index] ? kKsNodeTypeDevSpecific : kKsNodeTypeVideoProcessing;
    return hr::Ok;
  }

 private:
  const std::vector<bool>& nodes() const {
    return counted_.state().cameras[camera_]->config().nodes;
  }
  Counted counted_;
  std::size_t camera_;
};

class SimVendorXu final : public IVendorXuAccess {
 public:
  SimVendorXu(StatePtr state, std::size_t camera, std::uint32_t generation)
      : counted_(std::move(state), Kind::VendorXu), camera_(camera), generation_(generation) {}

  HResult SendRequest(std::uint32_t command, std::uint8_t* block) override {
    if (block == nullptr) return hr::Pointer;
    if (command != kVendorXuCommand) return kInvalidArg;
    CameraModel& model = *counted_.state().cameras[camera_];
    const std::uint32_t length = block[0] | (block[1] << 8);
    const std::uint8_t code = block[2];
    const std::uint32_t selector = block[3];
    auto& pending = model.pending();
    if (code == kUvcSetCur) {
      pending.valid = false;
      if (length > kXuRequestDataSize) return kInvalidArg;
      std::uint32_t reported = 0;
      return model.request(XuRequest::Set, selector, block + 4, length, reported, goneError());
    }
    if (code != kUvcGetCur && code != kUvcGetLen) return kInvalidArg;
    // A GET is only recorded here; it runs when the reply is read.
    if (model.unplugged() || goneError() != hr::Ok) return hr::DeviceNotConnected;
    pending.valid = true;
    pending.kind = code == kUvcGetCur ? XuRequest::Get : XuRequest::Len;
    pending.selector = selector;
    pending.length = length;
    return hr::Ok;
  }

  HResult ReadReply(std::uint32_t command, std::uint8_t* buffer) override {
    if (buffer == nullptr) return hr::Pointer;
    if (command != kVendorXuCommand) return kInvalidArg;
    CameraModel& model = *counted_.state().cameras[camera_];
    auto& pending = model.pending();
    if (!pending.valid) return hr::Unexpected;
    pending.valid = false;
    std::uint32_t reported = 0;
    if (pending.kind == XuRequest::Get) {
      if (pending.length > kXuReplySize) return kInvalidArg;
      return model.request(XuRequest::Get, pending.selector, buffer, pending.length, reported);
    }
    const HResult result = model.request(XuRequest::Len, pending.selector, nullptr, 0, reported);
    if (result == hr::Ok) {
      buffer[0] = static_cast<std::uint8_t>(reported);
      buffer[1] = static_cast<std::uint8_t>(reported >> 8);
    }
    return result;
  }

 private:
  // The device this interface belonged to dropped off the bus.
  HResult goneError() const {
    return counted_.state().alive(camera_, generation_) ? hr::Ok : hr::DeviceNotConnected;
  }
  Counted counted_;
  std::size_t camera_;
  std::uint32_t generation_;
};

// The camera's stream held for the run: alive while the object is (counted
// as a live interface, so that a hold never given back shows).
class SimStreamHold final : public IStreamHold {
 public:
  explicit SimStreamHold(StatePtr state) : counted_(std::move(state), Kind::StreamHold) {}

 private:
  Counted counted_;
};

class SimFilter final : public ICaptureFilter {
 public:
  SimFilter(StatePtr state, std::size_t camera, std::uint32_t generation)
      : counted_(std::move(state), Kind::Filter), camera_(camera), generation_(generation) {}

  HResult QueryKsControl(std::unique_ptr<IKsControl>& out) override {
    out.reset();
    if (!config().ksControl) return hr::NoInterface;
    out = std::make_unique<SimKsControl>(counted_.ptr(), camera_, generation_);
    return hr::Ok;
  }
  HResult QueryTopology(std::unique_ptr<IKsTopologyInfo>& out) override {
    out.reset();
    if (config().route != Route::Ks && config().route != Route::Both) return hr::NoInterface;
    out = std::make_unique<SimTopology>(counted_.ptr(), camera_);
    return hr::Ok;
  }
  HResult QueryVendorXuAccess(std::unique_ptr<IVendorXuAccess>& out) override {
    out.reset();
    if (config().route != Route::Private && config().route != Route::Both) return hr::NoInterface;
    out = std::make_unique<SimVendorXu>(counted_.ptr(), camera_, generation_);
    return hr::Ok;
  }
  // As the pin properties tell: another program streams (ERROR_BUSY), the
  // filter cannot say (as for its pin properties), or the stream is held.
  HResult HoldStream(std::unique_ptr<IStreamHold>& out) override {
    out.reset();
    switch (config().streaming) {
      case CameraConfig::Streaming::Yes:
        return hr::Busy;
      case CameraConfig::Streaming::Unsupported:
        return hr::NotFound;
      case CameraConfig::Streaming::No:
        break;
    }
    out = std::make_unique<SimStreamHold>(counted_.ptr());
    return hr::Ok;
  }

 private:
  const CameraConfig& config() const { return counted_.state().cameras[camera_]->config(); }
  Counted counted_;
  std::size_t camera_;
  std::uint32_t generation_;
};

class SimPropertyBag final : public IPropertyBag {
 public:
  SimPropertyBag(StatePtr state, std::size_t camera, bool infrared)
      : counted_(std::move(state), Kind::PropertyBag), camera_(camera), infrared_(infrared) {}

  HResult ReadDevicePath(char* ansi, std::size_t capacity) override {
    const CameraConfig& config = counted_.state().cameras[camera_]->config();
    if (failed(config.readDevicePathResult)) return config.readDevicePathResult;
    if (ansi == nullptr) return hr::Pointer;
    const std::string& path = infrared_ ? *config.infraredPath : config.devicePath;
    // The scene's UTF-8 text in an ANSI code page: characters outside ASCII
    // become '?', as the system's default character does.
    std::string converted;
    for (std::size_t i = 0; i < path.size(); ++i) {
      const auto c = static_cast<unsigned char>(path[i]);
      if (c < 0x80) {
        converted.push_back(static_cast<char>(c));
      } else if ((c & 0xC0) != 0x80) {
        converted.push_back('?');
      }
    }
    // As the system's conversion into a fixed buffer: a text too long is cut
    // at `capacity` bytes (then without its terminator).
    std::memcpy(ansi, converted.c_str(), std::min(converted.size() + 1, capacity));
    return hr::Ok;
  }

 private:
  Counted counted_;
  std::size_t camera_;
  bool infrared_;
};

// A moniker of one capture function: the camera's own, or its infrared one
// (same chip, its own path).
class SimMoniker final : public IDeviceMoniker {
 public:
  SimMoniker(StatePtr state, std::size_t camera, bool infrared)
      : counted_(std::move(state), Kind::Moniker),
        camera_(camera),
        infrared_(infrared),
        generation_(counted_.state().cameras[camera]->generation()) {}

  HResult BindToObject(std::unique_ptr<ICaptureFilter>& out) override {
    out.reset();
    const HResult hook = config().bindObjectResult;
    if (failed(hook)) return hook;
    if (!counted_.state().alive(camera_, generation_)) return hr::DeviceNotConnected;
    out = std::make_unique<SimFilter>(counted_.ptr(), camera_, generation_);
    return hr::Ok;
  }
  HResult BindToStorage(std::unique_ptr<IPropertyBag>& out) override {
    out.reset();
    const HResult hook = config().bindStorageResult;
    if (failed(hook)) return hook;
    out = std::make_unique<SimPropertyBag>(counted_.ptr(), camera_, infrared_);
    return hr::Ok;
  }

 private:
  const CameraConfig& config() const { return counted_.state().cameras[camera_]->config(); }
  Counted counted_;
  std::size_t camera_;
  bool infrared_;
  std::uint32_t generation_;
};

class SimMonikerEnum final : public IMonikerEnum {
 public:
  // The walk as it is now: a camera that drops off or comes back later is
  // seen by the next enumerator.
  explicit SimMonikerEnum(StatePtr state)
      : counted_(std::move(state), Kind::MonikerEnum), walk_(counted_.state().walk) {}

  HResult Reset() override {
    position_ = 0;
    infrared_ = false;
    return hr::Ok;
  }
  HResult Next(std::unique_ptr<IDeviceMoniker>& out) override {
    out.reset();
    const auto& cameras = counted_.state().cameras;
    if (position_ >= walk_.size()) return hr::False;
    const std::size_t camera = walk_[position_];
    out = std::make_unique<SimMoniker>(counted_.ptr(), camera, infrared_);
    // A camera with an infrared function is two devices in a row.
    if (!infrared_ && cameras[camera]->config().infraredPath) {
      infrared_ = true;
    } else {
      infrared_ = false;
      ++position_;
    }
    return hr::Ok;
  }

 private:
  Counted counted_;
  std::vector<std::size_t> walk_;
  std::size_t position_ = 0;
  bool infrared_ = false;  // the next moniker is camera walk_[position_]'s infrared function
};

class SimCameraStack final : public ICameraStack {
 public:
  explicit SimCameraStack(StatePtr state) : state_(std::move(state)) {}

  HResult CoInitialize() override {
    state_->touch();
    const bool first = state_->coInit == state_->coUninit;
    ++state_->coInit;
    return first ? hr::Ok : hr::False;
  }
  void CoUninitialize() override {
    state_->touch();
    ++state_->coUninit;
  }
  HResult CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) override {
    state_->touch();
    out.reset();
    if (state_->coInit <= state_->coUninit) return kCoNotInitialized;
    if (failed(state_->scene.videoEnumResult)) return state_->scene.videoEnumResult;
    state_->refreshWalk();
    if (state_->walk.empty()) return hr::False;
    out = std::make_unique<SimMonikerEnum>(state_);
    return hr::Ok;
  }

 private:
  StatePtr state_;
};

// Device nodes: each listed device i has a node, a parent and (when the
// scene names one) a grandparent.
constexpr DevInst kNodeBase = 0x100;
DevInst nodeOf(std::size_t device, std::uint32_t level) {
  return kNodeBase + static_cast<DevInst>(device) * 4 + level;
}

class SimImageDeviceList final : public IImageDeviceList {
 public:
  explicit SimImageDeviceList(StatePtr state) : counted_(std::move(state), Kind::ImageDeviceList) {}

  bool EnumDeviceInfo(std::uint32_t index, DevInst& node, std::uint32_t& lastError) override {
    if (index < devices().size()) {
      node = nodeOf(index, 0);
      return true;
    }
    lastError = counted_.state().scene.imageEnumError.value_or(win32err::NoMoreItems);
    return false;
  }

  bool GetDeviceId(DevInst node, char* buffer, std::uint32_t size) override {
    std::size_t device = 0;
    std::uint32_t level = 0;
    if (!decode(node, device, level)) return false;
    std::string id;
    if (level == 0) {
      id = devices()[device].instanceId;
    } else if (level == 1) {
      id =
          "USB\\SIM_COMPOSITE\\" +
          std::to_string(devices()[device].parent.value_or(static_cast<std::uint32_t>(device + 1)));
    } else {
      id = *devices()[device].grandparentId;
    }
    if (buffer == nullptr || id.size() + 1 > size) return false;
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    return true;
  }

  bool GetRegistryProperty(DevInst node, DeviceRegistryProperty property, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t& requiredSize,
                           std::uint32_t& lastError) override {
    std::size_t device = 0;
    std::uint32_t level = 0;
    if (!decode(node, device, level) || level != 0) {
      lastError = kErrorInvalidData;
      return false;
    }
    const ImageDeviceConfig& config = devices()[device];
    std::string value;
    if (property == DeviceRegistryProperty::Address) {
      if (!config.address) {
        lastError = kErrorInvalidData;
        return false;
      }
      for (int i = 0; i < 4; ++i) value.push_back(static_cast<char>(*config.address >> (8 * i)));
    } else {
      if (config.hardwareIds.empty()) {
        lastError = kErrorInvalidData;
        return false;
      }
      // REG_MULTI_SZ: each string NUL-terminated, then one more NUL.
      for (const std::string& id : config.hardwareIds) {
        value += id;
        value.push_back('\0');
      }
      value.push_back('\0');
    }
    return copyRegistryProperty(value, buffer, size, requiredSize, lastError);
  }

  bool GetParent(DevInst node, DevInst& parent) override {
    std::size_t device = 0;
    std::uint32_t level = 0;
    if (!decode(node, device, level)) return false;
    if (level == 0 || (level == 1 && devices()[device].grandparentId)) {
      parent = nodeOf(device, level + 1);
      return true;
    }
    return false;
  }

 private:
  const std::vector<ImageDeviceConfig>& devices() const {
    return counted_.state().scene.imageDevices;
  }
  bool decode(DevInst node, std::size_t& device, std::uint32_t& level) const {
    if (node < kNodeBase) return false;
    device = (node - kNodeBase) / 4;
    level = (node - kNodeBase) % 4;
    if (device >= devices().size() || level > 2) return false;
    return level < 2 || devices()[device].grandparentId.has_value();
  }
  Counted counted_;
};

class SimRegistry final : public IDeviceRegistry {
 public:
  explicit SimRegistry(StatePtr state) : state_(std::move(state)) {}
  std::unique_ptr<IImageDeviceList> OpenPresentImageDevices() override {
    state_->touch();
    if (!state_->scene.registryAvailable) return nullptr;
    return std::make_unique<SimImageDeviceList>(state_);
  }

 private:
  StatePtr state_;
};

class SimClockService final : public IClock {
 public:
  explicit SimClockService(StatePtr state) : state_(std::move(state)) {}
  void Sleep(std::uint32_t milliseconds) override {
    if (state_->trace.wanted()) state_->trace.line("SLEEP " + std::to_string(milliseconds));
    state_->clock.advance(std::uint64_t{milliseconds} * 1'000'000);
    state_->sleptNs += std::uint64_t{milliseconds} * 1'000'000;
  }
  std::uint64_t NowMicroseconds() override { return state_->clock.nowUs(); }
  // The simulated camera has no time of day of its own: the host's.
  std::int64_t UtcSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

 private:
  StatePtr state_;
};

class SimSessionImpl final : public SimSession {
 public:
  explicit SimSessionImpl(StatePtr state)
      : state_(state), stack_(state), registry_(state), clock_(state) {}
  ~SimSessionImpl() override {
    writeFlashFiles();
    state_->trace.flush();
  }

  ICameraStack& cameras() override { return stack_; }
  IDeviceRegistry& registry() override { return registry_; }
  IClock& clock() override { return clock_; }

  void Finish() override {
    if (!finished_) {
      finished_ = true;
      state_->trace.line("END " + std::to_string(state_->clock.nowUs()));
      state_->trace.flush();
    }
    writeFlashFiles();
  }

  std::size_t cameraCount() const override { return state_->cameras.size(); }
  CameraModel& camera(std::size_t index) override { return *state_->cameras.at(index); }
  const std::vector<std::string>& traceLines() const override { return state_->trace.lines(); }
  std::size_t liveObjects() const override {
    std::size_t total = 0;
    for (std::size_t n : state_->live) total += n;
    return total;
  }
  std::string liveObjectSummary() const override {
    std::string text;
    for (std::size_t k = 0; k < state_->live.size(); ++k) {
      if (state_->live[k] == 0) continue;
      if (!text.empty()) text += ' ';
      text += std::string(kKindNames[k]) + "=" + std::to_string(state_->live[k]);
    }
    return text;
  }
  std::uint32_t coInitializeCount() const override { return state_->coInit; }
  std::uint32_t coUninitializeCount() const override { return state_->coUninit; }
  bool filesOk() const override { return state_->flashFilesOk && state_->trace.fileOk(); }
  std::uint64_t sleptNs() const override { return state_->sleptNs; }
  void setKeepTraceLines(bool keep) override { state_->trace.setKeepLines(keep); }
  void setRequestObserver(RequestObserver* observer) override {
    for (const auto& camera : state_->cameras) camera->setRequestObserver(observer);
  }

 private:
  // Runs from the destructor too: a name that cannot be converted is a file
  // not written, never an exception.
  void writeFlashFiles() noexcept {
    for (const auto& camera : state_->cameras) {
      const auto& file = camera->config().flashFile;
      if (!file) continue;
      try {
        std::ofstream out(std::filesystem::u8path(*file), std::ios::binary | std::ios::trunc);
        const auto contents = camera->flash();
        out.write(reinterpret_cast<const char*>(contents.data()),
                  static_cast<std::streamsize>(contents.size()));
        out.close();
        if (!out) state_->flashFilesOk = false;
      } catch (const std::exception&) {
        state_->flashFilesOk = false;
      }
    }
  }

  StatePtr state_;
  SimCameraStack stack_;
  SimRegistry registry_;
  SimClockService clock_;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<SimSession> SimSession::OpenFile(const std::filesystem::path& scenePath,
                                                 std::string& error) {
  // Names travel as UTF-8 from here on (messages, and the scene's own file
  // names resolved against its folder), whatever the system's code page.
  const auto utf8 = [](const std::filesystem::path& p) {
    const std::u8string text = p.u8string();
    return std::string(text.begin(), text.end());
  };
  try {
    const std::string displayName = utf8(scenePath);
    std::string text;
    if (!readSceneText(scenePath, displayName, text, error)) return nullptr;
    return OpenText(text, utf8(scenePath.parent_path()), displayName, error);
  } catch (const std::exception& e) {
    // A name the system cannot convert, or no memory for the scene.
    error = std::string("the scene file cannot be read: ") + e.what();
    return nullptr;
  }
}

std::unique_ptr<SimSession> SimSession::Open(const std::string& scenePath, std::string& error) {
  try {
    return OpenFile(std::filesystem::u8path(scenePath), error);
  } catch (const std::exception&) {
    error = scenePath + ": cannot read the scene file";
    return nullptr;
  }
}

std::unique_ptr<SimSession> SimSession::OpenText(const std::string& text,
                                                 const std::string& baseDir,
                                                 const std::string& displayName,
                                                 std::string& error) {
  std::optional<Scene> scene = parseScene(text, baseDir, displayName, error);
  if (!scene) return nullptr;
  const bool real = scene->realClock;
  auto state = std::make_shared<SessionState>(std::move(*scene), real);
  std::vector<std::vector<std::uint8_t>> contents;
  if (!loadAllFlashContents(state->scene, displayName, contents, error)) return nullptr;
  for (std::size_t i = 0; i < state->scene.cameras.size(); ++i) {
    state->cameras.push_back(std::make_unique<CameraModel>(
        i, state->scene.cameras[i], std::move(contents[i]), state->clock, state->trace));
    state->walk.push_back(i);
  }
  state->walkGeneration.assign(state->cameras.size(), 0);
  return std::make_unique<SimSessionImpl>(std::move(state));
}

}  // namespace qv::sim
