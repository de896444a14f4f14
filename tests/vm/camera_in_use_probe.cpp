// Asks each video input of the system's camera stack, through its filter's
// KS control, the pin properties that tell whether another program streams
// from it, as the update does before its first request. One line per input:
//   <index> in-use <0|1>          the capture pin's current instance count
//   <index> unknown <HRESULT>     a request failed
//   <index> no-capture-pin
//   <index> bind-failed <HRESULT>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/camera_stack.h"
#include "platform/host.h"

namespace {

qv::HResult getPinProperty(qv::IKsControl& control, std::uint32_t id, std::uint32_t pin, void* data,
                           std::uint32_t length) {
  qv::KSP_NODE request{{qv::kKsPropSetIdPin, id, qv::kKsPropertyTypeGet}, pin, 0};
  std::uint32_t returned = 0;
  return control.KsProperty(&request, sizeof request, data, length, &returned);
}

void probe(int index, qv::IDeviceMoniker& moniker) {
  std::unique_ptr<qv::ICaptureFilter> filter;
  qv::HResult result = moniker.BindToObject(filter);
  std::unique_ptr<qv::IKsControl> control;
  if (qv::succeeded(result) && filter) result = filter->QueryKsControl(control);
  if (qv::failed(result) || !control) {
    std::printf("%d bind-failed 0x%08X\n", index, static_cast<unsigned>(result));
    return;
  }
  std::uint32_t count = 0;
  result = getPinProperty(*control, qv::kKsPropertyPinCTypes, 0, &count, sizeof count);
  for (std::uint32_t pin = 0; qv::succeeded(result) && pin < count; ++pin) {
    qv::Guid category{};
    result = getPinProperty(*control, qv::kKsPropertyPinCategory, pin, &category, sizeof category);
    if (qv::failed(result) || !(category == qv::kPinNameVideoCapture)) continue;
    qv::KsPinCInstances instances{};
    result = getPinProperty(*control, qv::kKsPropertyPinGlobalCInstances, pin, &instances,
                            sizeof instances);
    if (qv::succeeded(result)) {
      std::printf("%d in-use %u\n", index, instances.CurrentCount > 0 ? 1u : 0u);
      return;
    }
  }
  if (qv::failed(result)) {
    std::printf("%d unknown 0x%08X\n", index, static_cast<unsigned>(result));
  } else {
    std::printf("%d no-capture-pin\n", index);
  }
}

}  // namespace

int main() {
  const std::unique_ptr<qv::HostPlatform> host = qv::createHostPlatform();
  const qv::Platform platform = host->platform();
  std::unique_ptr<qv::IMonikerEnum> monikers;
  if (platform.cameras.CreateVideoInputEnum(monikers) != qv::hr::Ok || !monikers) return 1;
  int index = 0;
  for (std::unique_ptr<qv::IDeviceMoniker> moniker; monikers->Next(moniker) == qv::hr::Ok;) {
    probe(index++, *moniker);
  }
  return 0;
}
