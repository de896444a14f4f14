#pragma once
// A Platform made of the fake OS services, the fake camera stack and the
// fake device registry, with the chip of every device ticking the clock.

#include "platform/platform.h"
#include "tests/support/fake_camera.h"
#include "tests/support/fake_os.h"

namespace qv::test {

struct FakeRig {
  FakeOs os;
  FakeCameraStack stack;
  FakeDeviceRegistry registry;
  Platform platform{os.platform(stack, registry)};

  // Adds a device and returns its chip.
  FakeChip& addDevice(FakeDevice device = {}) {
    device.chip->clock = &os.clock;
    stack.devices.push_back(std::move(device));
    return *stack.devices.back().chip;
  }
  FakeChip& chip(std::size_t index) { return *stack.devices.at(index).chip; }
};

}  // namespace qv::test
