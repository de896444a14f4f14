// Whether another program streams from the camera. Kernel Streaming answers
// property requests while another process streams, so a write would go out
// in the middle of a video call; the pin factories tell it beforehand. That
// answer is a moment's: the hold keeps another program from starting a
// stream while the camera is written.
#include "camera/camera_device.h"

namespace qv {

namespace {

// More pin factories than a camera filter has: a count beyond it is not
// followed (a capture pin, if any, comes among the first few).
constexpr std::uint32_t kMaxPinFactories = 32;

}  // namespace

CameraUse CCameraCore::CheckCameraInUse() {
  if (!ksControl_) return CameraUse::Unknown;
  // KSP_PIN: KSP_NODE's layout, with the pin id where the node id is.
  KSP_NODE pin{};
  pin.Property.Set = kKsPropSetIdPin;
  pin.Property.Flags = kKsPropertyTypeGet;
  const auto get = [&](std::uint32_t property, std::uint32_t pinId, void* data,
                       std::uint32_t length) {
    pin.Property.Id = property;
    pin.NodeId = pinId;
    pin.Reserved = 0;
    std::uint32_t returned = 0;
    const HResult result = ksControl_->KsProperty(&pin, sizeof(pin), data, length, &returned);
    return succeeded(result) && returned == length;
  };

  std::uint32_t count = 0;
  if (!get(kKsPropertyPinCTypes, 0, &count, sizeof(count))) return CameraUse::Unknown;
  if (count > kMaxPinFactories) count = kMaxPinFactories;
  for (std::uint32_t id = 0; id < count; ++id) {
    Guid category{};
    if (!get(kKsPropertyPinCategory, id, &category, sizeof(category))) return CameraUse::Unknown;
    if (!(category == kPinNameVideoCapture)) continue;
    KsPinCInstances instances{};
    if (!get(kKsPropertyPinGlobalCInstances, id, &instances, sizeof(instances))) {
      return CameraUse::Unknown;
    }
    return instances.CurrentCount > 0 ? CameraUse::InUse : CameraUse::Free;
  }
  return CameraUse::Unknown;
}

CameraUse CCameraCore::HoldForWrite(std::unique_ptr<IStreamHold>& hold) {
  hold.reset();
  if (!filter_) return CameraUse::Unknown;
  const HResult result = filter_->HoldStream(hold);
  if (result == hr::Busy) return CameraUse::InUse;
  if (failed(result) || !hold) {
    hold.reset();
    return CameraUse::Unknown;
  }
  return CameraUse::Free;
}

}  // namespace qv
