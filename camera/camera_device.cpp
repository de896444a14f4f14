// Camera discovery and the per-camera objects.
#include "camera/camera_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>

#include "platform/failure_notes.h"

namespace qv {

std::int32_t g_spiCsAssertValue = 0;

namespace {

// Room for the converted "DevicePath": a cleared 260-byte buffer of which the
// conversion fills at most 256 bytes.
constexpr std::size_t kPathBufferSize = 260;
constexpr std::size_t kPathConvertMax = 256;
// The capture filter is given this long to settle after it is bound.
constexpr std::uint32_t kFilterSettleMilliseconds = 300;
// E_ACCESSDENIED (HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)).
constexpr HResult kAccessDenied = static_cast<HResult>(0x80070005u);

// A USB device's path carries "usb" or "USB" at characters 4 to 6
// (\\?\usb#vid_...); mixed case does not count.
bool isUsbDevicePath(const char* path) {
  return (path[4] == 'u' && path[5] == 's' && path[6] == 'b') ||
         (path[4] == 'U' && path[5] == 'S' && path[6] == 'B');
}

}  // namespace

bool ClassifyChipId(std::uint8_t chipId, ChipFamily& family, std::int32_t& csAssert) {
  const std::uint8_t nibble = chipId >> 4;
  for (const ChipFamilyRow& row : kChipFamilyTable) {
    if (row.idNibble == nibble) {
      family = row.family;
      csAssert = row.csAssert;
      return true;
    }
  }
  return false;
}

// ---- The device walk ---------------------------------------------------------

namespace {

// One pass over the video input devices: CoInitialize, the moniker
// enumerator, and for each moniker its filter, the settle wait and the
// device path.
class DeviceWalk {
 public:
  explicit DeviceWalk(const Platform& platform) : platform_(platform) {}

  // False when the walk cannot start (no device enumerator, empty category).
  bool start() {
    (void)platform_.cameras.CoInitialize();
    if (platform_.cameras.CreateVideoInputEnum(enum_) != hr::Ok || !enum_) {
      enum_.reset();
      return false;
    }
    (void)enum_->Reset();
    return true;
  }

  // The next moniker, or false when they are exhausted (the enumerator is
  // then released).
  bool next() {
    moniker_.reset();
    if (!enum_) return false;
    if (enum_->Next(moniker_) != hr::Ok || !moniker_) {
      moniker_.reset();
      enum_.reset();
      return false;
    }
    return true;
  }

  // Binds the moniker's filter into `filter` and waits for it to settle.
  bool bindFilter(std::unique_ptr<ICaptureFilter>& filter) {
    filter.reset();
    const HResult bound = moniker_->BindToObject(filter);
    // Windows' camera privacy setting makes every camera filter refuse to
    // be created with E_ACCESSDENIED: remembered, as the reason a camera
    // was passed over.
    if (bound == kAccessDenied) ++accessDenied_;
    platform_.clock.Sleep(kFilterSettleMilliseconds);
    if (failed(bound) || !filter) {
      filter.reset();
      return false;
    }
    return true;
  }

  enum class PathResult { Candidate, NotCandidate, ReadFailed };
  // Reads "DevicePath" into `path` (kPathBufferSize bytes, cleared first)
  // and tells whether the device is a USB candidate.
  PathResult readPath(char* path) {
    std::memset(path, 0, kPathBufferSize);
    std::unique_ptr<IPropertyBag> bag;
    if (failed(moniker_->BindToStorage(bag)) || !bag) return PathResult::NotCandidate;
    // A failed read writes nothing and so leaves the text empty.
    const HResult read = bag->ReadDevicePath(path, kPathConvertMax);
    path[kPathBufferSize - 1] = '\0';
    if (!isUsbDevicePath(path)) return PathResult::NotCandidate;
    return failed(read) ? PathResult::ReadFailed : PathResult::Candidate;
  }

  // Releases the moniker and the enumerator.
  void finish() {
    moniker_.reset();
    enum_.reset();
  }

  // How many filters refused to be created with E_ACCESSDENIED.
  std::uint32_t accessDenied() const { return accessDenied_; }

 private:
  const Platform& platform_;
  std::uint32_t accessDenied_ = 0;
  std::unique_ptr<IMonikerEnum> enum_;
  std::unique_ptr<IDeviceMoniker> moniker_;
};

}  // namespace

std::int32_t CountCameras(const Platform& platform, std::int32_t& count) {
  DeviceWalk walk(platform);
  if (!walk.start()) return 1;
  // The count's own channel serves every device of the walk.
  auto channel = std::make_unique<CXuChannel>();
  std::int32_t found = 0;
  char path[kPathBufferSize];
  while (walk.next()) {
    std::unique_ptr<ICaptureFilter> filter;
    if (!walk.bindFilter(filter)) continue;
    const auto pathResult = walk.readPath(path);
    if (pathResult == DeviceWalk::PathResult::NotCandidate) continue;
    if (pathResult == DeviceWalk::PathResult::ReadFailed) return 1;

    std::unique_ptr<IKsControl> ks;
    std::unique_ptr<IKsTopologyInfo> topology;
    (void)filter->QueryKsControl(ks);
    if (failed(filter->QueryTopology(topology))) topology.reset();
    if (topology) {
      channel->setMode(XU_MODE_KS);
      if (channel->FindExtensionUnit(topology.get(), ks.get()) == hr::Ok) ++found;
      channel->detachKsControl();  // `ks` is released with this device
    } else {
      std::unique_ptr<IVendorXuAccess> privateInterface;
      if (succeeded(filter->QueryVendorXuAccess(privateInterface)) && privateInterface) ++found;
    }
  }
  count = found;
  if (walk.accessDenied() > 0) {
    runNotes().note(FailureKind::CameraPrivacy,
                    std::to_string(walk.accessDenied()) + " video device(s) refused access",
                    kAccessDenied);
  }
  return 0;
}

std::int32_t ListCameras(const Platform& platform, std::vector<ListedCamera>& cameras) {
  cameras.clear();
  DeviceWalk walk(platform);
  if (!walk.start()) return 1;
  CameraIds ids(platform);
  auto channel = std::make_unique<CXuChannel>();
  std::vector<ListedCamera> found;
  char path[kPathBufferSize];
  while (walk.next()) {
    // The path first: a device that is no USB device, or a further function
    // of a device already listed, is passed over without binding its filter.
    const auto pathResult = walk.readPath(path);
    if (pathResult == DeviceWalk::PathResult::NotCandidate) continue;
    if (pathResult == DeviceWalk::PathResult::ReadFailed) return 1;
    std::string cameraId = ids.of(path);
    const auto listed = [&](const ListedCamera& c) {
      return !cameraId.empty() && c.cameraId == cameraId;
    };
    if (std::any_of(found.begin(), found.end(), listed)) continue;

    std::unique_ptr<ICaptureFilter> filter;
    if (!walk.bindFilter(filter)) continue;
    std::unique_ptr<IKsControl> ks;
    std::unique_ptr<IKsTopologyInfo> topology;
    (void)filter->QueryKsControl(ks);
    if (failed(filter->QueryTopology(topology))) topology.reset();
    bool reached = false;
    if (topology) {
      channel->setMode(XU_MODE_KS);
      reached = channel->FindExtensionUnit(topology.get(), ks.get()) == hr::Ok;
      channel->detachKsControl();  // `ks` is released with this device
    } else {
      std::unique_ptr<IVendorXuAccess> privateInterface;
      reached = succeeded(filter->QueryVendorXuAccess(privateInterface)) && privateInterface;
    }
    if (!reached) continue;
    found.push_back(ListedCamera{std::move(cameraId), path, std::move(filter)});
  }
  cameras = std::move(found);
  if (walk.accessDenied() > 0) {
    runNotes().note(FailureKind::CameraPrivacy,
                    std::to_string(walk.accessDenied()) + " video device(s) refused access",
                    kAccessDenied);
  }
  return 0;
}

// ---- Per-camera objects ------------------------------------------------------

CCameraCore::CCameraCore(const Platform& platform) : platform_(platform) {}

CCameraCore::~CCameraCore() {
  // The channel refers to the interfaces below; it goes first.
  channel_.reset();
  ksControl_.reset();
  filter_.reset();
  private_.reset();
}

void CCameraCore::ReleaseCore() {
  channel_.reset();
  ksControl_.reset();
  filter_.reset();
  private_.reset();
  std::memset(devicePath_, 0, sizeof(devicePath_));
  platform_.cameras.CoUninitialize();
}

std::int32_t CCameraCore::OpenCamera(ChipFamily requestedFamily, std::int32_t index) {
  if (static_cast<std::uint8_t>(requestedFamily - CHIP_FAMILY_ANY) > 7) return STATUS_REFUSED;

  if (channel_) channel_->SetPrivateInterface(nullptr);  // it is about to be released
  private_.reset();
  std::int64_t position = 0;
  const std::int64_t wanted = static_cast<std::int64_t>(index) + 1;
  DeviceWalk walk(platform_);
  if (!walk.start()) return STATUS_FAIL;
  if (!channel_) channel_ = std::make_unique<CXuChannel>();

  char path[kPathBufferSize];
  while (walk.next()) {
    // The previous device's KS control is released below; forget it first.
    channel_->detachKsControl();
    ksControl_.reset();
    if (!walk.bindFilter(filter_)) continue;
    const auto pathResult = walk.readPath(path);
    if (pathResult == DeviceWalk::PathResult::NotCandidate) {
      filter_.reset();
      continue;
    }
    if (pathResult == DeviceWalk::PathResult::ReadFailed) {
      filter_.reset();
      channel_.reset();  // a failed open leaves neither channel nor filter
      std::memset(devicePath_, 0, sizeof(devicePath_));
      return STATUS_FAIL;
    }
    // Kept NUL-terminated within its 256 bytes.
    std::memset(devicePath_, 0, sizeof(devicePath_));
    std::memcpy(devicePath_, path, sizeof(devicePath_) - 1);

    std::unique_ptr<IKsControl> ks;
    std::uint8_t chipId = 0xFF;
    if (!reachUnit(ks, chipId)) {
      filter_.reset();
      continue;
    }
    ++position;

    if (position != wanted || !takeDevice(requestedFamily, chipId, ks)) {
      channel_->detachKsControl();
      filter_.reset();
      continue;
    }
    walk.finish();
    return STATUS_OK;
  }

  channel_.reset();
  filter_.reset();
  // The walk kept the path of whatever device it read last, not the
  // camera's: a failed open knows no path (the report says null).
  std::memset(devicePath_, 0, sizeof(devicePath_));
  return STATUS_FAIL;
}

bool CCameraCore::reachUnit(std::unique_ptr<IKsControl>& ks, std::uint8_t& chipId) {
  chipId = 0xFF;
  if (!private_) {
    if (succeeded(filter_->QueryVendorXuAccess(private_)) && private_) {
      channel_->setMode(XU_MODE_PRIVATE);
    } else {
      private_.reset();
    }
  }
  if (failed(filter_->QueryKsControl(ks)) || !ks) return false;
  std::unique_ptr<IKsTopologyInfo> topology;
  if (failed(filter_->QueryTopology(topology))) topology.reset();

  if (topology) {
    if (channel_->mode() == XU_MODE_UNBOUND) {
      channel_->setMode(XU_MODE_KS);
    } else if (channel_->mode() == XU_MODE_PRIVATE) {
      channel_->setMode(XU_MODE_KS_AND_PRIVATE);
      channel_->SetPrivateInterface(private_.get());
    }
    if (channel_->FindExtensionUnit(topology.get(), ks.get()) != hr::Ok) {
      channel_->detachKsControl();
      return false;
    }
    const std::uint8_t idAddress[2] = {REG_CHIP_ID & 0xFF, REG_CHIP_ID >> 8};
    (void)channel_->SetControl(XU_REG_ADDR, 2, idAddress);
    (void)channel_->GetControl(XU_REG_DATA, 1, &chipId);
    return true;
  }
  if (!private_) {
    if (failed(filter_->QueryVendorXuAccess(private_)) || !private_) private_.reset();
  }
  if (!private_) return false;
  channel_->setMode(XU_MODE_PRIVATE);
  channel_->SetPrivateInterface(private_.get());
  chipId = readChipIdPrivately();
  return true;
}

bool CCameraCore::takeDevice(ChipFamily requestedFamily, std::uint8_t chipId,
                             std::unique_ptr<IKsControl>& ks) {
  ChipFamily family = CHIP_FAMILY_NONE;
  std::int32_t csAssert = 0;
  if (!ClassifyChipId(chipId, family, csAssert)) return false;
  if (requestedFamily != CHIP_FAMILY_ANY && requestedFamily != family) return false;
  channel_->setFamily(family);
  g_spiCsAssertValue = csAssert;
  ksControl_ = std::move(ks);  // stays in use by the channel
  return true;
}

void CCameraCore::setDevicePath(const char* path) {
  // Kept NUL-terminated within its 256 bytes.
  std::memset(devicePath_, 0, sizeof(devicePath_));
  std::memcpy(devicePath_, path, strnlen(path, sizeof(devicePath_) - 1));
}

std::int32_t CCameraCore::OpenCameraById(ChipFamily requestedFamily, std::string_view cameraId) {
  return openById(requestedFamily, cameraId, nullptr);
}

std::int32_t CCameraCore::OpenListedCamera(ChipFamily requestedFamily, ListedCamera& camera) {
  return openById(requestedFamily, camera.cameraId, &camera);
}

std::int32_t CCameraCore::openById(ChipFamily requestedFamily, std::string_view cameraId,
                                   ListedCamera* listed) {
  if (static_cast<std::uint8_t>(requestedFamily - CHIP_FAMILY_ANY) > 7) return STATUS_REFUSED;
  if (cameraId.empty() && listed == nullptr) return STATUS_FAIL;

  // Whatever an earlier open of this core held goes (the channel first: it
  // refers to the rest).
  channel_.reset();
  ksControl_.reset();
  filter_.reset();
  private_.reset();
  DeviceWalk walk(platform_);
  if (!walk.start()) return STATUS_FAIL;
  CameraIds ids(platform_);
  char path[kPathBufferSize];
  while (walk.next()) {
    if (walk.readPath(path) != DeviceWalk::PathResult::Candidate) continue;
    // A camera without an ID is known by its function's path alone.
    const bool held = listed != nullptr && listed->filter && listed->devicePath == path;
    if (cameraId.empty() ? !held : ids.of(path) != cameraId) continue;

    // Each device tried starts as the first device of a walk.
    channel_ = std::make_unique<CXuChannel>();
    private_.reset();
    if (held) {
      filter_ = std::move(listed->filter);  // bound and settled by the listing
    } else if (!walk.bindFilter(filter_)) {
      continue;
    }
    setDevicePath(path);
    std::unique_ptr<IKsControl> ks;
    std::uint8_t chipId = 0xFF;
    if (reachUnit(ks, chipId) && takeDevice(requestedFamily, chipId, ks)) {
      walk.finish();
      return STATUS_OK;
    }
    // Another function of the same device may still reach the unit.
    channel_.reset();
    filter_.reset();
    private_.reset();
  }
  channel_.reset();
  filter_.reset();
  // The listing knew the camera's path; a camera found by ID alone has none.
  setDevicePath(listed != nullptr ? listed->devicePath.c_str() : "");
  return STATUS_FAIL;
}

std::uint8_t CCameraCore::readChipIdPrivately() {
  // Straight through the private interface, in the request-block layout.
  std::array<std::uint8_t, kXuRequestBlockSize> block{};
  WriteXuRequestHeader(block.data(), XU_REG_ADDR, kUvcSetCur, 2);
  block[4] = REG_CHIP_ID & 0xFF;
  block[5] = REG_CHIP_ID >> 8;
  block[6] = 0x00;
  block[7] = 0x00;
  (void)private_->SendRequest(kVendorXuCommand, block.data());
  WriteXuRequestHeader(block.data(), XU_REG_DATA, kUvcGetCur, 1);
  std::memset(block.data() + 4, 0, 4);
  (void)private_->SendRequest(kVendorXuCommand, block.data());
  (void)private_->ReadReply(kVendorXuCommand, block.data());
  // A read that wrote nothing leaves the header's 0x01, which is rejected.
  return block[0];
}

CCameraDevice::CCameraDevice(const Platform& platform)
    : platform_(platform), core_(new (std::nothrow) CCameraCore(platform)) {}

CCameraDevice::~CCameraDevice() {
  if (core_) {
    core_->ReleaseCore();
    core_.reset();
  }
}

std::int32_t CCameraDevice::OpenCamera(ChipFamily requestedFamily, std::int32_t index) {
  if (!core_) return STATUS_FAIL;
  return core_->OpenCamera(requestedFamily, index);
}

std::int32_t CCameraDevice::OpenListedCamera(ChipFamily requestedFamily, ListedCamera& camera) {
  if (!core_) return STATUS_FAIL;
  return core_->OpenListedCamera(requestedFamily, camera);
}

}  // namespace qv
