// A stand-in camera for the real DirectShow / Kernel Streaming path under
// Wine: a COM in-process server whose object is registered in the Wine
// prefix as a video input device. Its filter answers QueryInterface for
// IBaseFilter and, depending on the simulated camera's route, IKsControl,
// IKsTopologyInfo and the driver's private interface; every request is
// carried out by the simulated camera of the scene file named by the
// environment variable QVFLASH_FAKE_CAMERA_SCENE (its first camera).
// Its one capture pin can be connected (the pin's kernel instance, which
// holds the camera) unless the scene's camera streams. Two more variables:
// QVFLASH_FAKE_CAMERA_LOG names a file that gets a line for each
// connection of the pin ("connected N", "released N", "refused HRESULT",
// N the SET requests through IKsControl so far) and "end N" when the process ends;
// QVFLASH_FAKE_CAMERA_PIN_COUNT=none refuses the pin properties, as
// Windows' in-box camera driver may (its global instance count is optional).
//
// Test-only code: nothing of it goes into the tool.
#include "platform/win32/com_interfaces.h"
// After the Windows headers.
#include <uuids.h>
#include <vfwmsgs.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/sim/sim_session.h"

namespace {

using qv::win32::fromNative;
using qv::win32::kAmPropSetIdPin;
using qv::win32::kIidIBaseFilter;
using qv::win32::kIidIKsControl;
using qv::win32::kIidIKsPropertySet;
using qv::win32::kIidIKsTopologyInfo;
using qv::win32::kIidIVendorXuAccess;
using qv::win32::kPinCategoryCapture;

// {5C3B7A10-9D2E-4F61-A8B4-3E7C2D1F0A95}: the stand-in filter's class.
constexpr GUID kClsidFakeCamera = {
    0x5C3B7A10, 0x9D2E, 0x4F61, {0xA8, 0xB4, 0x3E, 0x7C, 0x2D, 0x1F, 0x0A, 0x95}};

bool same(REFIID a, const GUID& b) { return ::IsEqualGUID(a, b) != 0; }

// The simulated camera: one session for the life of the process (the DLL is
// never unloaded early, see DllCanUnloadNow); its destructor writes the
// flash file back.
struct Backend {
  std::unique_ptr<qv::sim::SimSession> session;
  std::unique_ptr<qv::IMonikerEnum> monikers;
  std::unique_ptr<qv::IDeviceMoniker> moniker;
  std::uint32_t setRequests = 0;

  void log(const std::string& line) {
    const char* path = std::getenv("QVFLASH_FAKE_CAMERA_LOG");
    if (!path) return;
    if (FILE* f = std::fopen(path, "ab")) {
      std::fprintf(f, "%s\n", line.c_str());
      std::fclose(f);
    }
  }

  static Backend* get() {
    static Backend backend;
    static const bool opened = backend.open();
    return opened ? &backend : nullptr;
  }
  bool open() {
    const char* scene = std::getenv("QVFLASH_FAKE_CAMERA_SCENE");
    if (!scene) return false;
    std::string error;
    session = qv::sim::SimSession::Open(scene, error);
    if (!session) return false;
    session->cameras().CoInitialize();
    return session->cameras().CreateVideoInputEnum(monikers) == qv::hr::Ok &&
           monikers->Next(moniker) == qv::hr::Ok;
  }
  ~Backend() {
    if (session) log("end " + std::to_string(setRequests));
    moniker.reset();
    monikers.reset();
    if (session) session->Finish();
  }
};

// IKsTopologyInfo and the private interface are laid out here as plain
// tables of __stdcall functions, slot by slot as documented, independently of
// the backend's C++ declarations: a slot out of place there would call the
// wrong function here and show in the results.
class FakeFilter;
struct TearOff {
  const void* vtable;
  FakeFilter* owner;
};
FakeFilter& ownerOf(void* self) { return *static_cast<TearOff*>(self)->owner; }

struct TopologyVtable {
  HRESULT(__stdcall* QueryInterface)(void*, REFIID, void**);
  ULONG(__stdcall* AddRef)(void*);
  ULONG(__stdcall* Release)(void*);
  HRESULT(__stdcall* get_NumCategories)(void*, DWORD*);
  HRESULT(__stdcall* get_Category)(void*, DWORD, GUID*);
  HRESULT(__stdcall* get_NumConnections)(void*, DWORD*);
  HRESULT(__stdcall* get_ConnectionInfo)(void*, DWORD, KSTOPOLOGY_CONNECTION*);
  HRESULT(__stdcall* get_NodeName)(void*, DWORD, WCHAR*, DWORD, DWORD*);
  HRESULT(__stdcall* get_NumNodes)(void*, DWORD*);
  HRESULT(__stdcall* get_NodeType)(void*, DWORD, GUID*);
  HRESULT(__stdcall* CreateNodeInstance)(void*, DWORD, REFIID, void**);
};

struct VendorVtable {
  HRESULT(__stdcall* QueryInterface)(void*, REFIID, void**);
  ULONG(__stdcall* AddRef)(void*);
  ULONG(__stdcall* Release)(void*);
  HRESULT(__stdcall* Unused)(void*);
  HRESULT(__stdcall* ReadReply)(void*, ULONG, BYTE*);
  HRESULT(__stdcall* SendRequest)(void*, ULONG, BYTE*);
};

extern const TopologyVtable kTopologyVtable;
extern const VendorVtable kVendorVtable;

bool pinCountSilent() {
  const char* value = std::getenv("QVFLASH_FAKE_CAMERA_PIN_COUNT");
  return value && std::strcmp(value, "none") == 0;
}

AM_MEDIA_TYPE videoType() {
  AM_MEDIA_TYPE type{};
  type.majortype = MEDIATYPE_Video;
  type.subtype = MEDIASUBTYPE_YUY2;
  type.bFixedSizeSamples = TRUE;
  type.lSampleSize = 640 * 480 * 2;
  return type;  // no format block
}

// The capture pin, part of the filter object (its references are the
// filter's). Connecting it stands for creating its kernel instance: the
// simulated camera's hold, refused with ERROR_BUSY while the scene's camera
// streams, held until the pin is disconnected.
class FakePin final : public ::IPin, public ::IKsPropertySet {
 public:
  FakePin(::IBaseFilter* owner, qv::ICaptureFilter* camera) : owner_(owner), camera_(camera) {}
  ~FakePin() {
    if (peer_) peer_->Release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (same(iid, IID_IUnknown) || same(iid, IID_IPin)) {
      *out = static_cast<::IPin*>(this);
    } else if (same(iid, kIidIKsPropertySet)) {
      *out = static_cast<::IKsPropertySet*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

  HRESULT STDMETHODCALLTYPE Connect(IPin* receiver, const AM_MEDIA_TYPE*) override {
    if (!receiver) return E_POINTER;
    if (peer_) return VFW_E_ALREADY_CONNECTED;
    std::unique_ptr<qv::IStreamHold> hold;
    const qv::HResult held = camera_->HoldStream(hold);
    if (qv::failed(held)) {
      char text[32];
      std::snprintf(text, sizeof text, "refused %08lX", static_cast<unsigned long>(held));
      Backend::get()->log(text);
      return held;
    }
    AM_MEDIA_TYPE type = videoType();
    const HRESULT r = receiver->ReceiveConnection(this, &type);
    if (FAILED(r)) return r;
    peer_ = receiver;
    peer_->AddRef();
    hold_ = std::move(hold);
    Backend::get()->log("connected " + std::to_string(Backend::get()->setRequests));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override {
    return E_UNEXPECTED;  // an output pin
  }
  HRESULT STDMETHODCALLTYPE Disconnect() override {
    if (!peer_) return S_FALSE;
    peer_->Release();
    peer_ = nullptr;
    hold_.reset();
    Backend::get()->log("released " + std::to_string(Backend::get()->setRequests));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** out) override {
    if (!out) return E_POINTER;
    *out = peer_;
    if (!peer_) return VFW_E_NOT_CONNECTED;
    peer_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* type) override {
    if (!type) return E_POINTER;
    if (!peer_) return VFW_E_NOT_CONNECTED;
    *type = videoType();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override {
    if (!info) return E_POINTER;
    info->pFilter = owner_;
    owner_->AddRef();
    info->dir = PINDIR_OUTPUT;
    std::wcscpy(info->achName, L"Capture");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* direction) override {
    if (!direction) return E_POINTER;
    *direction = PINDIR_OUTPUT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryId(LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EndOfStream() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE BeginFlush() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE EndFlush() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override {
    return S_OK;
  }

  // IKsPropertySet: the pin's category, as a Kernel Streaming proxy pin
  // answers it.
  HRESULT STDMETHODCALLTYPE Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD size,
                                DWORD* returned) override {
    if (!same(set, kAmPropSetIdPin) || id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (!data || size < sizeof(GUID)) return E_UNEXPECTED;
    std::memcpy(data, &kPinCategoryCapture, sizeof(GUID));
    if (returned) *returned = sizeof(GUID);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID, DWORD, DWORD*) override { return E_NOTIMPL; }

 private:
  ::IBaseFilter* owner_;
  qv::ICaptureFilter* camera_;
  IPin* peer_ = nullptr;
  std::unique_ptr<qv::IStreamHold> hold_;
};

// The filter's pins: the capture pin alone.
class PinEnum final : public ::IEnumPins {
 public:
  PinEnum(::IBaseFilter* owner, IPin* pin, ULONG next) : owner_(owner), pin_(pin), next_(next) {
    owner_->AddRef();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!same(iid, IID_IUnknown) && !same(iid, IID_IEnumPins)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      owner_->Release();
      delete this;
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override {
    if (!pins) return E_POINTER;
    ULONG n = 0;
    if (count > 0 && next_ == 0) {
      pins[0] = pin_;
      pin_->AddRef();
      n = 1;
      next_ = 1;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    next_ += count;
    return next_ <= 1 ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumPins** out) override {
    if (!out) return E_POINTER;
    *out = new PinEnum(owner_, pin_, next_);
    return S_OK;
  }

 private:
  ~PinEnum() = default;
  std::atomic<ULONG> refs_{1};
  ::IBaseFilter* owner_;
  IPin* pin_;
  ULONG next_;
};

class FakeFilter final : public ::IBaseFilter, public ::IKsControl {
 public:
  explicit FakeFilter(std::unique_ptr<qv::ICaptureFilter> filter) : filter_(std::move(filter)) {
    filter_->QueryKsControl(ks_);
    filter_->QueryTopology(topology_);
    filter_->QueryVendorXuAccess(vendor_);
  }

  // IUnknown (one object, one count, whichever base is asked).
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (same(iid, IID_IUnknown) || same(iid, kIidIBaseFilter) || same(iid, IID_IPersist) ||
        same(iid, IID_IMediaFilter)) {
      *out = static_cast<::IBaseFilter*>(this);
    } else if (same(iid, kIidIKsControl) && ks_) {
      *out = static_cast<::IKsControl*>(this);
    } else if (same(iid, kIidIKsTopologyInfo) && topology_) {
      *out = &topologyTearOff_;
    } else if (same(iid, kIidIVendorXuAccess) && vendor_) {
      *out = &vendorTearOff_;
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IBaseFilter: enough of it for a filter graph to hold the filter and
  // connect its pin; it never streams.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
    if (!id) return E_POINTER;
    *id = kClsidFakeCamera;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Pause() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
    if (!state) return E_POINTER;
    *state = State_Stopped;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override {
    if (!clock) return E_POINTER;
    *clock = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** out) override {
    if (!out) return E_POINTER;
    *out = new PinEnum(this, &pin_, 0);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
    if (!info) return E_POINTER;
    std::wcscpy(info->achName, L"camera");
    info->pGraph = graph_;
    if (graph_) graph_->AddRef();
    return S_OK;
  }
  // The graph holds the filter, not the other way round: no reference.
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR) override {
    graph_ = graph;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

  // IKsControl: the system's KSP_NODE handed to the simulated camera.
  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG length, LPVOID data,
                                       ULONG dataLength, ULONG* returned) noexcept override {
    if (!property || length < sizeof(::KSP_NODE)) return E_INVALIDARG;
    const auto* native = reinterpret_cast<const ::KSP_NODE*>(property);
    const bool pinSet = same(native->Property.Set, qv::win32::toNative(qv::kKsPropSetIdPin));
    if (pinSet && pinCountSilent()) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    if (!pinSet && (native->Property.Flags & KSPROPERTY_TYPE_SET)) ++Backend::get()->setRequests;
    qv::KSP_NODE p{};
    p.Property.Set = fromNative(native->Property.Set);
    p.Property.Id = native->Property.Id;
    p.Property.Flags = native->Property.Flags;
    p.NodeId = native->NodeId;
    p.Reserved = native->Reserved;
    std::uint32_t bytes = 0;
    const qv::HResult r = ks_->KsProperty(&p, sizeof p, data, dataLength, &bytes);
    if (returned) *returned = bytes;
    return r;
  }
  HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD, ULONG, LPVOID, ULONG, ULONG*) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT, ULONG, LPVOID, ULONG, ULONG*) noexcept override {
    return E_NOTIMPL;
  }

  // What the two tables call.
  HRESULT numNodes(DWORD* count) {
    if (!count) return E_POINTER;
    std::uint32_t n = 0;
    const qv::HResult r = topology_->get_NumNodes(&n);
    *count = n;
    return r;
  }
  HRESULT nodeType(DWORD node, GUID* type) {
    if (!type) return E_POINTER;
    qv::Guid g{};
    const qv::HResult r = topology_->get_NodeType(node, &g);
    if (r >= 0) *type = qv::win32::toNative(g);
    return r;
  }
  HRESULT readReply(ULONG command, BYTE* buffer) { return vendor_->ReadReply(command, buffer); }
  HRESULT sendRequest(ULONG command, BYTE* block) { return vendor_->SendRequest(command, block); }

 private:
  ~FakeFilter() = default;

  std::atomic<ULONG> refs_{1};
  std::unique_ptr<qv::ICaptureFilter> filter_;
  std::unique_ptr<qv::IKsControl> ks_;
  std::unique_ptr<qv::IKsTopologyInfo> topology_;
  std::unique_ptr<qv::IVendorXuAccess> vendor_;
  TearOff topologyTearOff_{&kTopologyVtable, this};
  TearOff vendorTearOff_{&kVendorVtable, this};
  FakePin pin_{this, filter_.get()};
  IFilterGraph* graph_ = nullptr;
};

HRESULT __stdcall tearOffQueryInterface(void* self, REFIID iid, void** out) {
  return ownerOf(self).QueryInterface(iid, out);
}
ULONG __stdcall tearOffAddRef(void* self) { return ownerOf(self).AddRef(); }
ULONG __stdcall tearOffRelease(void* self) { return ownerOf(self).Release(); }

HRESULT __stdcall notImplemented1(void*) { return E_NOTIMPL; }
HRESULT __stdcall notImplementedCount(void*, DWORD*) { return E_NOTIMPL; }
HRESULT __stdcall notImplementedCategory(void*, DWORD, GUID*) { return E_NOTIMPL; }
HRESULT __stdcall notImplementedConnection(void*, DWORD, KSTOPOLOGY_CONNECTION*) {
  return E_NOTIMPL;
}
HRESULT __stdcall notImplementedName(void*, DWORD, WCHAR*, DWORD, DWORD*) { return E_NOTIMPL; }
HRESULT __stdcall notImplementedInstance(void*, DWORD, REFIID, void**) { return E_NOTIMPL; }
HRESULT __stdcall topologyNumNodes(void* self, DWORD* count) {
  return ownerOf(self).numNodes(count);
}
HRESULT __stdcall topologyNodeType(void* self, DWORD node, GUID* type) {
  return ownerOf(self).nodeType(node, type);
}
HRESULT __stdcall vendorReadReply(void* self, ULONG command, BYTE* buffer) {
  return ownerOf(self).readReply(command, buffer);
}
HRESULT __stdcall vendorSendRequest(void* self, ULONG command, BYTE* block) {
  return ownerOf(self).sendRequest(command, block);
}

const TopologyVtable kTopologyVtable = {
    tearOffQueryInterface,  tearOffAddRef,       tearOffRelease,           notImplementedCount,
    notImplementedCategory, notImplementedCount, notImplementedConnection, notImplementedName,
    topologyNumNodes,       topologyNodeType,    notImplementedInstance,
};

const VendorVtable kVendorVtable = {
    tearOffQueryInterface, tearOffAddRef,   tearOffRelease,
    notImplemented1,       vendorReadReply, vendorSendRequest,
};

class Factory final : public ::IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (same(iid, IID_IUnknown) || same(iid, IID_IClassFactory)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // a static object
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Backend* backend = Backend::get();
    if (!backend) return E_FAIL;
    std::unique_ptr<qv::ICaptureFilter> filter;
    // The simulated camera's own refusal (its scene's "bind_object"), as a
    // filter that cannot be created answers it (E_ACCESSDENIED when the
    // privacy setting denies cameras).
    const qv::HResult bound = backend->moniker->BindToObject(filter);
    if (bound != qv::hr::Ok) return qv::failed(bound) ? bound : E_FAIL;
    auto* object = new FakeFilter(std::move(filter));
    const HRESULT r = object->QueryInterface(iid, out);
    object->Release();
    return r;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!same(clsid, kClsidFakeCamera)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

// Stays loaded until the process ends: the simulated camera lives in it.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
