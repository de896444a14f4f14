// The USB identity lookup over arbitrary registry data: instance IDs and
// hardware-ID lists of any length and content, address properties of any
// size, and a registry that may misreport sizes or parents. The registry
// never writes past the room it is given (as the system's does not); the
// lookup must stay within its own buffers whatever it is told.
#include <algorithm>
#include <cstring>
#include <memory>

#include "camera/camera_device.h"
#include "fuzz/fuzz_input.h"
#include "tests/support/fake_rig.h"

namespace {

using qv::DeviceRegistryProperty;
using qv::DevInst;

struct Entry {
  std::string instanceId;
  bool idUnterminated = false;  // fills the buffer without a terminator
  std::vector<std::uint8_t> address;
  std::vector<std::uint8_t> hardwareIds;
  std::uint8_t sizeQuirk = 0;  // how the sizes it reports relate to the data
  std::uint32_t claimedSize = 0;
  std::string grandparentId;
  std::uint8_t parentQuirk = 0;
};

class FuzzList : public qv::IImageDeviceList {
 public:
  FuzzList(const std::vector<Entry>& entries, std::uint32_t endError)
      : entries_(entries), endError_(endError) {}

  bool EnumDeviceInfo(std::uint32_t index, DevInst& node, std::uint32_t& lastError) override {
    if (index >= entries_.size()) {
      lastError = endError_;
      return false;
    }
    node = 100 + index;
    return true;
  }

  bool GetDeviceId(DevInst node, char* buffer, std::uint32_t size) override {
    const std::string* id = nullptr;
    bool unterminated = false;
    if (const Entry* e = entry(node, 100)) {
      id = &e->instanceId;
      unterminated = e->idUnterminated;
    } else if (const Entry* g = entry(node, 300)) {
      id = &g->grandparentId;
    }
    if (id == nullptr || size == 0) return false;
    if (unterminated) {
      for (std::uint32_t i = 0; i < size; ++i)
        buffer[i] = id->empty() ? 'x' : (*id)[i % id->size()];
      return true;
    }
    if (id->size() + 1 > size) return false;
    std::memcpy(buffer, id->c_str(), id->size() + 1);
    return true;
  }

  bool GetRegistryProperty(DevInst node, DeviceRegistryProperty property, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t& requiredSize,
                           std::uint32_t& lastError) override {
    const Entry* e = entry(node, 100);
    if (e == nullptr) {
      lastError = 13;
      return false;
    }
    const std::vector<std::uint8_t>& data =
        property == DeviceRegistryProperty::Address ? e->address : e->hardwareIds;
    if (data.empty() && (e->sizeQuirk & 1) != 0) {
      lastError = 13;  // ERROR_INVALID_DATA
      return false;
    }
    // The size it reports: the true one, or whatever the entry claims.
    const std::uint32_t reported =
        (e->sizeQuirk & 2) != 0 ? e->claimedSize : static_cast<std::uint32_t>(data.size());
    if (buffer == nullptr || size < data.size()) {
      if (buffer != nullptr && size > 0) std::memcpy(buffer, data.data(), size);  // a partial write
      requiredSize = reported;
      lastError = (e->sizeQuirk & 4) != 0 ? 87 : qv::win32err::InsufficientBuffer;
      return false;
    }
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    requiredSize = reported;
    return true;
  }

  bool GetParent(DevInst node, DevInst& parent) override {
    const Entry* e = entry(node, node >= 200 ? 200 : 100);
    if (e == nullptr || (e->parentQuirk & 1) != 0) return false;
    // A registry may name a node it does not list; the lookup only asks
    // for the grandparent's ID.
    parent = (e->parentQuirk & 2) != 0 ? 0xFFFFFFFFu : node + 100;
    return true;
  }

 private:
  const Entry* entry(DevInst node, DevInst base) const {
    if (node < base || node - base >= entries_.size()) return nullptr;
    return &entries_[node - base];
  }

  const std::vector<Entry>& entries_;
  std::uint32_t endError_;
};

class FuzzRegistry : public qv::IDeviceRegistry {
 public:
  std::vector<Entry> entries;
  std::uint32_t endError = qv::win32err::NoMoreItems;
  bool available = true;
  std::unique_ptr<qv::IImageDeviceList> OpenPresentImageDevices() override {
    if (!available) return nullptr;
    return std::make_unique<FuzzList>(entries, endError);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::fuzz::FuzzInput in(data, size);
  qv::test::FakeOs os;
  qv::test::FakeCameraStack stack;
  FuzzRegistry registry;
  const qv::Platform platform = os.platform(stack, registry);

  qv::test::FakeDevice device;
  const std::string path = in.text();
  if (!path.empty()) device.path = path;
  device.chip->clock = &os.clock;
  stack.devices.push_back(device);

  const std::uint8_t flags = in.byte();
  registry.available = (flags & 1) == 0;
  registry.endError = (flags & 2) != 0 ? in.u32() : qv::win32err::NoMoreItems;
  const std::size_t count = in.byte() % 8;
  for (std::size_t i = 0; i < count; ++i) {
    Entry e;
    e.instanceId = in.text();
    e.idUnterminated = (in.byte() & 1) != 0;
    e.address = in.blob();
    e.hardwareIds = in.blob();
    e.sizeQuirk = in.byte();
    e.claimedSize = in.u32();
    e.grandparentId = in.text();
    e.parentQuirk = in.byte();
    registry.entries.push_back(std::move(e));
  }

  qv::CCameraDevice camera(platform);
  if (camera.OpenCamera(qv::CHIP_FAMILY_ANY, 0) != 0) return 0;
  qv::CAMERA_USB_INFO info{};
  (void)camera.GetUsbInfo(info);
  // The grandparent's ID is always a terminated text.
  if (std::memchr(info.grandparentId, '\0', sizeof(info.grandparentId)) == nullptr)
    __builtin_trap();
  return 0;
}
