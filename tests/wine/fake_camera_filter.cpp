// A stand-in camera for the real DirectShow / Kernel Streaming path under
// Wine: a COM in-process server whose object is registered in the Wine
// prefix as a video input device. Its filter answers QueryInterface for
// IBaseFilter and, depending on the simulated camera's route, IKsControl,
// IKsTopologyInfo and the driver's private interface; every request is
// carried out by the simulated camera of the scene file named by the
// environment variable QVFLASH_FAKE_CAMERA_SCENE (its first camera).
//
// Test-only code: nothing of it goes into the tool.
#include "platform/win32/com_interfaces.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/sim/sim_session.h"

namespace {

using qv::win32::fromNative;
using qv::win32::kIidIBaseFilter;
using qv::win32::kIidIKsControl;
using qv::win32::kIidIKsTopologyInfo;
using qv::win32::kIidIVendorXuAccess;

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

  // IBaseFilter: nothing of the streaming side is needed.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
    if (!id) return E_POINTER;
    *id = kClsidFakeCamera;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Pause() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

  // IKsControl: the system's KSP_NODE handed to the simulated camera.
  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG length, LPVOID data,
                                       ULONG dataLength, ULONG* returned) noexcept override {
    if (!property || length < sizeof(::KSP_NODE)) return E_INVALIDARG;
    const auto* native = reinterpret_cast<const ::KSP_NODE*>(property);
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
