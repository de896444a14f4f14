#pragma once
// A simulated camera opened through the tool's own discovery, with fake OS
// services around it, for whole scenarios of the flash layer.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_device.h"
#include "platform/sim/sim_session.h"
#include "sim/camera_model.h"
#include "tests/support/fake_os.h"

namespace qv::test {

// The profile fake, also remembering the file each read named.
class RecordingProfile : public FakeProfile {
 public:
  std::vector<std::wstring> paths;
  std::uint32_t ReadProfileString(std::string_view section, std::string_view key,
                                  std::string_view defaultValue, char* buffer, std::uint32_t size,
                                  const std::wstring& path) override {
    paths.push_back(path);
    return FakeProfile::ReadProfileString(section, key, defaultValue, buffer, size, path);
  }
};

// Forwards the camera stack of the simulator and calls `observe` before
// every Kernel Streaming request, so a test can look at the engine's state
// between requests.
class ObservingStack : public ICameraStack {
 public:
  using Observer = std::function<void(const KSP_NODE&, std::uint32_t length)>;
  ObservingStack(ICameraStack& inner, Observer& observe) : inner_(inner), observe_(observe) {}

  HResult CoInitialize() override { return inner_.CoInitialize(); }
  void CoUninitialize() override { inner_.CoUninitialize(); }
  HResult CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) override {
    std::unique_ptr<IMonikerEnum> inner;
    const HResult result = inner_.CreateVideoInputEnum(inner);
    if (inner) out = std::make_unique<Enum>(std::move(inner), observe_);
    return result;
  }

 private:
  class Ks : public IKsControl {
   public:
    Ks(std::unique_ptr<IKsControl> inner, Observer& observe)
        : inner_(std::move(inner)), observe_(observe) {}
    HResult KsProperty(KSP_NODE* property, std::uint32_t propertyLength, void* data,
                       std::uint32_t dataLength, std::uint32_t* bytesReturned) override {
      if (observe_) observe_(*property, dataLength);
      return inner_->KsProperty(property, propertyLength, data, dataLength, bytesReturned);
    }

   private:
    std::unique_ptr<IKsControl> inner_;
    Observer& observe_;
  };
  class Filter : public ICaptureFilter {
   public:
    Filter(std::unique_ptr<ICaptureFilter> inner, Observer& observe)
        : inner_(std::move(inner)), observe_(observe) {}
    HResult QueryKsControl(std::unique_ptr<IKsControl>& out) override {
      std::unique_ptr<IKsControl> inner;
      const HResult result = inner_->QueryKsControl(inner);
      if (inner) out = std::make_unique<Ks>(std::move(inner), observe_);
      return result;
    }
    HResult QueryTopology(std::unique_ptr<IKsTopologyInfo>& out) override {
      return inner_->QueryTopology(out);
    }
    HResult QueryVendorXuAccess(std::unique_ptr<IVendorXuAccess>& out) override {
      return inner_->QueryVendorXuAccess(out);
    }
    HResult HoldStream(std::unique_ptr<IStreamHold>& out) override {
      return inner_->HoldStream(out);
    }

   private:
    std::unique_ptr<ICaptureFilter> inner_;
    Observer& observe_;
  };
  class Moniker : public IDeviceMoniker {
   public:
    Moniker(std::unique_ptr<IDeviceMoniker> inner, Observer& observe)
        : inner_(std::move(inner)), observe_(observe) {}
    HResult BindToObject(std::unique_ptr<ICaptureFilter>& out) override {
      std::unique_ptr<ICaptureFilter> inner;
      const HResult result = inner_->BindToObject(inner);
      if (inner) out = std::make_unique<Filter>(std::move(inner), observe_);
      return result;
    }
    HResult BindToStorage(std::unique_ptr<IPropertyBag>& out) override {
      return inner_->BindToStorage(out);
    }

   private:
    std::unique_ptr<IDeviceMoniker> inner_;
    Observer& observe_;
  };
  class Enum : public IMonikerEnum {
   public:
    Enum(std::unique_ptr<IMonikerEnum> inner, Observer& observe)
        : inner_(std::move(inner)), observe_(observe) {}
    HResult Reset() override { return inner_->Reset(); }
    HResult Next(std::unique_ptr<IDeviceMoniker>& out) override {
      std::unique_ptr<IDeviceMoniker> inner;
      const HResult result = inner_->Next(inner);
      if (inner) out = std::make_unique<Moniker>(std::move(inner), observe_);
      return result;
    }

   private:
    std::unique_ptr<IMonikerEnum> inner_;
    Observer& observe_;
  };

  ICameraStack& inner_;
  Observer& observe_;
};

// The device path of a USB camera as the enumeration reports it.
inline constexpr const char* kUsbDevicePath =
    R"(\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&2a7b1c3&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global)";

struct SimRig {
  FakeOs os;
  RecordingProfile profile;
  std::unique_ptr<sim::SimSession> session;
  ObservingStack::Observer observer;
  std::unique_ptr<ObservingStack> stack;
  std::unique_ptr<Platform> platform;
  std::unique_ptr<CCameraDevice> device;
  std::size_t openedAt = 0;  // trace lines written by the time the camera was open

  // Opens camera 0 of a scene holding the one camera described by the JSON
  // members given (besides its device path).
  void open(const std::string& cameraMembers = "") {
    std::string scene = std::string(R"({"cameras": [{"device_path": ")") + kUsbDevicePath + "\"";
    if (!cameraMembers.empty()) scene += ", " + cameraMembers;
    scene += "}]}";
    std::string error;
    session = sim::SimSession::OpenText(scene, "/tmp", "scene.json", error);
    ASSERT_NE(session, nullptr) << error;
    stack = std::make_unique<ObservingStack>(session->cameras(), observer);
    platform =
        std::make_unique<Platform>(Platform{*stack, session->registry(), session->clock(), os.files,
                                            os.resources, profile, os.guard, os.console});
    device = std::make_unique<CCameraDevice>(*platform);
    ASSERT_EQ(device->OpenCamera(CHIP_FAMILY_ANY, 0), 0);
    openedAt = session->traceLines().size();
  }

  sim::CameraModel& camera() { return session->camera(0); }
  CCameraCore& core() { return *device->core(); }

  // Trace lines since the camera was opened (or since `from`).
  std::vector<std::string> trace(std::size_t from = SIZE_MAX) const {
    const auto& lines = session->traceLines();
    const std::size_t start = from == SIZE_MAX ? openedAt : from;
    return {lines.begin() + static_cast<std::ptrdiff_t>(start), lines.end()};
  }
  std::size_t traceSize() const { return session->traceLines().size(); }

  // Requests the camera had received when it was open.
  std::uint32_t requestsAtOpen() const {
    std::uint32_t count = 0;
    const auto& lines = session->traceLines();
    for (std::size_t i = 0; i < openedAt; ++i) count += lines[i].rfind("0 ", 0) == 0 ? 1 : 0;
    return count;
  }

  // The request number (from 1, in this camera's trace order, opening
  // included) of the `occurrence`-th request (from 0) since opening whose
  // trace line starts with `prefix`; 0 when there is none.
  std::uint32_t requestNumber(const std::string& prefix, int occurrence = 0) const {
    std::uint32_t number = 0;
    const auto& lines = session->traceLines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind("0 ", 0) != 0) continue;
      ++number;
      if (i >= openedAt && lines[i].rfind(prefix, 0) == 0 && occurrence-- == 0) return number;
    }
    return 0;
  }
};

// Trace lines that start with any of the prefixes.
inline std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                                  std::initializer_list<std::string> prefixes) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    for (const std::string& prefix : prefixes) {
      if (line.rfind(prefix, 0) == 0) {
        out.push_back(line);
        break;
      }
    }
  }
  return out;
}

}  // namespace qv::test
