// The camera stack: COM, the DirectShow video input enumeration, a capture
// filter's Kernel Streaming interfaces and the camera driver's private
// interface. Each wrapper owns exactly one COM reference (ComPtr) and
// releases it when destroyed.
#include "platform/win32/com_interfaces.h"
// After the Windows headers.
#include <string>

#include "platform/win32/com_ptr.h"
#include "platform/win32/os_error.h"
#include "platform/win32/win32_services.h"

namespace qv::win32 {

namespace {

class Win32KsControl final : public IKsControl {
 public:
  explicit Win32KsControl(ComPtr<::IKsControl> control) : control_(std::move(control)) {}
  HResult KsProperty(qv::KSP_NODE* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned) override {
    // The request goes out as the system's KSP_NODE; never more of it than
    // there is.
    if (!property) return hr::Pointer;
    if (propertyLength > sizeof(::KSP_NODE)) return fromWin32Error(ERROR_INVALID_PARAMETER);
    ::KSP_NODE native = toNative(*property);
    ULONG returned = 0;
    const HRESULT result = control_->KsProperty(reinterpret_cast<PKSPROPERTY>(&native),
                                                propertyLength, data, dataLength, &returned);
    if (bytesReturned) *bytesReturned = returned;
    return fromComResult(result);
  }

 private:
  ComPtr<::IKsControl> control_;
};

class Win32Topology final : public IKsTopologyInfo {
 public:
  explicit Win32Topology(ComPtr<com::IKsTopologyInfo> topology) : topology_(std::move(topology)) {}
  HResult get_NumNodes(std::uint32_t* count) override {
    if (!count) return hr::Pointer;
    DWORD n = 0;
    const HRESULT result = topology_->get_NumNodes(&n);
    if (SUCCEEDED(result)) *count = n;
    return fromComResult(result);
  }
  HResult get_NodeType(std::uint32_t index, Guid* nodeType) override {
    if (!nodeType) return hr::Pointer;
    GUID type{};
    const HRESULT result = topology_->get_NodeType(index, &type);
    if (SUCCEEDED(result)) *nodeType = fromNative(type);
    return fromComResult(result);
  }

 private:
  ComPtr<com::IKsTopologyInfo> topology_;
};

class Win32VendorXuAccess final : public IVendorXuAccess {
 public:
  explicit Win32VendorXuAccess(ComPtr<com::IVendorXuAccess> access) : access_(std::move(access)) {}
  HResult ReadReply(std::uint32_t command, std::uint8_t* buffer) override {
    return fromComResult(access_->ReadReply(command, buffer));
  }
  HResult SendRequest(std::uint32_t command, std::uint8_t* block) override {
    return fromComResult(access_->SendRequest(command, block));
  }

 private:
  ComPtr<com::IVendorXuAccess> access_;
};

// More pins than a camera filter has: an enumerator that goes on beyond
// them is not followed.
constexpr int kMaxPins = 32;

// The first pin of `filter` in `direction` whose category, when one is
// asked for, is that (as a Kernel Streaming proxy pin answers it through
// IKsPropertySet); HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when there is none.
HRESULT findPin(::IBaseFilter* filter, PIN_DIRECTION direction, const GUID* category,
                ComPtr<::IPin>& out) {
  ComPtr<::IEnumPins> pins;
  const HRESULT result = filter->EnumPins(pins.put());
  if (FAILED(result)) return result;
  if (!pins) return E_POINTER;
  for (int i = 0; i < kMaxPins; ++i) {
    ComPtr<::IPin> pin;
    ULONG fetched = 0;
    if (pins->Next(1, pin.put(), &fetched) != S_OK || !pin) break;
    PIN_DIRECTION pinDirection{};
    if (FAILED(pin->QueryDirection(&pinDirection)) || pinDirection != direction) continue;
    if (category) {
      ComPtr<::IKsPropertySet> properties;
      if (FAILED(pin->QueryInterface(kIidIKsPropertySet, properties.putVoid())) || !properties)
        continue;
      GUID pinCategory{};
      DWORD returned = 0;
      if (FAILED(properties->Get(kAmPropSetIdPin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &pinCategory,
                                 sizeof pinCategory, &returned)) ||
          returned != sizeof pinCategory || !::IsEqualGUID(pinCategory, *category))
        continue;
    }
    out = std::move(pin);
    return S_OK;
  }
  return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

// The camera held for the write: the camera's capture pin connected to a
// null renderer in a filter graph of this process. Why a connection: the
// camera's filter is a Kernel Streaming proxy, and connecting its capture
// pin creates the pin's kernel instance (KsCreatePin with the agreed
// format); the camera driver offers one instance of it, so the connection
// is refused while another program streams, and no other program can start
// a stream while it exists. The graph is never run: no frame is captured,
// no bandwidth taken. (Creating the kernel pin directly, through the
// filter's handle, would need the format the proxy negotiates, and the
// proxy's own graph would not know of it.) Given back, on every path, by
// disconnecting both pins and taking both filters out of the graph.
class Win32StreamHold final : public IStreamHold {
 public:
  Win32StreamHold() = default;
  Win32StreamHold(const Win32StreamHold&) = delete;
  Win32StreamHold& operator=(const Win32StreamHold&) = delete;
  ~Win32StreamHold() override {
    if (connected_) {
      graph_->Disconnect(capture_.get());
      graph_->Disconnect(input_.get());
    }
    if (sinkAdded_) graph_->RemoveFilter(sink_.get());
    if (camera_) graph_->RemoveFilter(camera_);
  }

  HResult take(::IBaseFilter* camera) {
    HRESULT result = ::CoCreateInstance(kClsidFilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                        kIidIGraphBuilder, graph_.putVoid());
    if (FAILED(result)) return fromComResult(result);
    if (!graph_) return hr::NoInterface;
    result = ::CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, kIidIBaseFilter,
                                sink_.putVoid());
    if (FAILED(result)) return fromComResult(result);
    if (!sink_) return hr::NoInterface;
    result = graph_->AddFilter(camera, L"camera");
    if (FAILED(result)) return fromComResult(result);
    camera_ = camera;
    result = graph_->AddFilter(sink_.get(), L"sink");
    if (FAILED(result)) return fromComResult(result);
    sinkAdded_ = true;
    result = findPin(camera, PINDIR_OUTPUT, &kPinCategoryCapture, capture_);
    if (FAILED(result)) return fromComResult(result);
    result = findPin(sink_.get(), PINDIR_INPUT, nullptr, input_);
    if (FAILED(result)) return fromComResult(result);
    // Directly, whatever format the pin offers first: no decoder is put in
    // between, and the null renderer takes any.
    result = graph_->ConnectDirect(capture_.get(), input_.get(), nullptr);
    if (FAILED(result)) return streamHoldResult(result);
    connected_ = true;
    return hr::Ok;
  }

 private:
  ComPtr<::IGraphBuilder> graph_;
  ComPtr<::IBaseFilter> sink_;
  ComPtr<::IPin> capture_;
  ComPtr<::IPin> input_;
  ::IBaseFilter* camera_ = nullptr;  // in the graph, which holds a reference, until removed
  bool sinkAdded_ = false;
  bool connected_ = false;
};

class Win32CaptureFilter final : public ICaptureFilter {
 public:
  explicit Win32CaptureFilter(ComPtr<::IBaseFilter> filter) : filter_(std::move(filter)) {}

  HResult QueryKsControl(std::unique_ptr<IKsControl>& out) override {
    return query<::IKsControl, Win32KsControl>(kIidIKsControl, out);
  }
  HResult QueryTopology(std::unique_ptr<IKsTopologyInfo>& out) override {
    return query<com::IKsTopologyInfo, Win32Topology>(kIidIKsTopologyInfo, out);
  }
  HResult QueryVendorXuAccess(std::unique_ptr<IVendorXuAccess>& out) override {
    return query<com::IVendorXuAccess, Win32VendorXuAccess>(kIidIVendorXuAccess, out);
  }
  HResult HoldStream(std::unique_ptr<IStreamHold>& out) override {
    out.reset();
    auto hold = std::make_unique<Win32StreamHold>();
    const HResult result = hold->take(filter_.get());
    // A hold not taken is given back whole by its destructor, here.
    if (failed(result)) return result;
    out = std::move(hold);
    return hr::Ok;
  }

 private:
  template <class ComInterface, class Wrapper, class Portable>
  HResult query(const GUID& iid, std::unique_ptr<Portable>& out) {
    ComPtr<ComInterface> p;
    const HRESULT result = filter_->QueryInterface(iid, p.putVoid());
    if (FAILED(result)) return fromComResult(result);
    if (!p) return hr::NoInterface;
    out = std::make_unique<Wrapper>(std::move(p));
    return fromComResult(result);
  }

  ComPtr<::IBaseFilter> filter_;
};

class Win32PropertyBag final : public IPropertyBag {
 public:
  explicit Win32PropertyBag(ComPtr<::IPropertyBag> bag) : bag_(std::move(bag)) {}

  HResult ReadDevicePath(char* ansi, std::size_t capacity) override {
    VARIANT value;
    ::VariantInit(&value);
    const HRESULT readResult = bag_->Read(L"DevicePath", &value, nullptr);
    const bool isText = value.vt == VT_BSTR && value.bstrVal != nullptr;
    const HResult result = devicePathReadResult(readResult, isText);
    if (succeeded(result) && ansi && capacity > 0) convert(value.bstrVal, ansi, capacity);
    ::VariantClear(&value);
    return result;
  }

 private:
  // WideCharToMultiByte (CP_ACP, flags 0) of the NUL-terminated text into at
  // most `capacity` bytes. A text too long for them is cut at `capacity`
  // bytes (then without a terminator), never written beyond.
  static void convert(const wchar_t* text, char* ansi, std::size_t capacity) {
    const int cap = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    const int needed = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return;
    if (needed <= cap) {
      ::WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, cap, nullptr, nullptr);
      return;
    }
    std::string whole(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, whole.data(), needed, nullptr, nullptr);
    whole.copy(ansi, static_cast<std::size_t>(cap));
  }

  ComPtr<::IPropertyBag> bag_;
};

class Win32DeviceMoniker final : public IDeviceMoniker {
 public:
  explicit Win32DeviceMoniker(ComPtr<::IMoniker> moniker) : moniker_(std::move(moniker)) {}

  HResult BindToObject(std::unique_ptr<ICaptureFilter>& out) override {
    ComPtr<::IBaseFilter> filter;
    const HRESULT result =
        moniker_->BindToObject(nullptr, nullptr, kIidIBaseFilter, filter.putVoid());
    if (FAILED(result)) return fromComResult(result);
    if (!filter) return hr::NoInterface;
    out = std::make_unique<Win32CaptureFilter>(std::move(filter));
    return fromComResult(result);
  }
  HResult BindToStorage(std::unique_ptr<IPropertyBag>& out) override {
    ComPtr<::IPropertyBag> bag;
    const HRESULT result =
        moniker_->BindToStorage(nullptr, nullptr, kIidIPropertyBag, bag.putVoid());
    if (FAILED(result)) return fromComResult(result);
    if (!bag) return hr::NoInterface;
    out = std::make_unique<Win32PropertyBag>(std::move(bag));
    return fromComResult(result);
  }

 private:
  ComPtr<::IMoniker> moniker_;
};

class Win32MonikerEnum final : public IMonikerEnum {
 public:
  explicit Win32MonikerEnum(ComPtr<::IEnumMoniker> monikers) : monikers_(std::move(monikers)) {}
  HResult Reset() override { return fromComResult(monikers_->Reset()); }
  HResult Next(std::unique_ptr<IDeviceMoniker>& out) override {
    ComPtr<::IMoniker> moniker;
    ULONG fetched = 0;
    const HRESULT result = monikers_->Next(1, moniker.put(), &fetched);
    if (result != S_OK) return fromComResult(result);
    // S_OK without a moniker would be a broken enumerator: treat it as the end.
    if (!moniker) return hr::False;
    out = std::make_unique<Win32DeviceMoniker>(std::move(moniker));
    return hr::Ok;
  }

 private:
  ComPtr<::IEnumMoniker> monikers_;
};

}  // namespace

HResult Win32CameraStack::CoInitialize() {
  const HRESULT result = ::CoInitialize(nullptr);
  if (SUCCEEDED(result)) ++initialized_;  // S_FALSE too must be balanced
  return fromComResult(result);
}

void Win32CameraStack::CoUninitialize() {
  if (initialized_ == 0) return;
  --initialized_;
  ::CoUninitialize();
}

HResult Win32CameraStack::CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) {
  ComPtr<::ICreateDevEnum> devices;
  HRESULT result = ::CoCreateInstance(kClsidSystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                      kIidICreateDevEnum, devices.putVoid());
  if (FAILED(result)) return fromComResult(result);
  if (!devices) return hr::NoInterface;
  ComPtr<::IEnumMoniker> monikers;
  result = devices->CreateClassEnumerator(kClsidVideoInputDeviceCategory, monikers.put(), 0);
  devices.reset();  // the device enumerator is released before anything else happens
  if (result == S_OK && !monikers) return hr::Pointer;
  if (result == S_OK) out = std::make_unique<Win32MonikerEnum>(std::move(monikers));
  return fromComResult(result);
}

}  // namespace qv::win32
