#pragma once
// COM declarations the MinGW-w64 headers lack, the GUIDs the backend uses,
// and compile-time checks of sizes, layouts and calling conventions.
// Included only by the Windows backend (it pulls in the Windows headers).

// Order matters: windows.h first, the COM headers next, then the Kernel
// Streaming headers that build on them.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <strmif.h>

#include <ks.h>

#include <ksproxy.h>

#include <cstddef>
#include <type_traits>

#include "base/guid.h"
#include "base/hresult.h"
#include "platform/camera_stack.h"

namespace qv::win32 {

// GUIDs, spelled out here (rather than taken from import libraries) so that
// every one is visible in one table; tests/wine checks each against the
// system headers' definitions.
inline constexpr GUID kClsidSystemDeviceEnum = {
    0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr GUID kClsidVideoInputDeviceCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr GUID kIidICreateDevEnum = {
    0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr GUID kIidIBaseFilter = {
    0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID kIidIPropertyBag = {
    0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr GUID kIidIKsControl = {
    0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// IKsTopologyInfo (vidcap.h in the Windows SDK).
inline constexpr GUID kIidIKsTopologyInfo = {
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
// GUID_DEVCLASS_IMAGE (devguid.h).
inline constexpr GUID kGuidDevClassImage = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
// GUID_DEVCLASS_CAMERA (devguid.h): the class Windows' in-box UVC driver
// installs cameras in since Windows 10 version 1709.
inline constexpr GUID kGuidDevClassCamera = {
    0xCA3E7AB9, 0xB4C3, 0x4AE6, {0x82, 0x51, 0x57, 0x9E, 0xF9, 0x33, 0x89, 0x0F}};

// The hold for the write: a filter graph (quartz.dll), the null renderer
// (qedit.dll, which Windows still ships) as the sink the capture pin is
// connected to, and the pin's category as a Kernel Streaming proxy pin
// answers it through IKsPropertySet.
inline constexpr GUID kClsidFilterGraph = {
    0xE436EBB3, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID kIidIGraphBuilder = {
    0x56A868A9, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// CLSID_NullRenderer (qedit.h, which MinGW-w64 lacks).
inline constexpr GUID kClsidNullRenderer = {
    0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
inline constexpr GUID kIidIKsPropertySet = {
    0x31EFAC30, 0x515C, 0x11D0, {0xA9, 0xAA, 0x00, 0xAA, 0x00, 0x61, 0xBE, 0x93}};
inline constexpr GUID kAmPropSetIdPin = {
    0x9B00F101, 0x1567, 0x11D1, {0xB3, 0xF1, 0x00, 0xAA, 0x00, 0x37, 0x61, 0xC5}};
inline constexpr GUID kPinCategoryCapture = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

constexpr GUID toNative(const Guid& g) {
  return GUID{g.data1,
              g.data2,
              g.data3,
              {g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
               g.data4[7]}};
}
constexpr Guid fromNative(const GUID& g) {
  return Guid{static_cast<std::uint32_t>(g.Data1),
              g.Data2,
              g.Data3,
              {g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
               g.Data4[7]}};
}

// The camera driver's private interface, IID from the portable definition.
inline constexpr GUID kIidIVendorXuAccess = toNative(kIidVendorXuAccess);
static_assert(fromNative(kGuidDevClassImage) == qv::kGuidDevClassImage);

namespace com {

// IKsTopologyInfo, in the documented vtable order (after IUnknown's three:
// slots 3 to 10).
struct IKsTopologyInfo : public ::IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD index, GUID* category) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD index,
                                                       KSTOPOLOGY_CONNECTION* connection) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD nodeId, WCHAR* name, DWORD bufferSize,
                                                 DWORD* nameLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD nodeId, GUID* nodeType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD nodeId, REFIID iid, void** object) = 0;
};

// The camera driver's private interface: IUnknown's three, one method never
// called (its signature is unknown; it only holds slot 3), then ReadReply
// (slot 4) and SendRequest (slot 5), both taking the command 35 and a buffer.
struct IVendorXuAccess : public ::IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved() = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadReply(ULONG command, BYTE* buffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE SendRequest(ULONG command, BYTE* block) = 0;
};

}  // namespace com

// Calling conventions: every COM method is __stdcall on x86 (x64 has a single
// convention, which the attribute leaves as it is).
static_assert(std::is_same_v<decltype(&com::IVendorXuAccess::ReadReply),
                             HRESULT (__stdcall com::IVendorXuAccess::*)(ULONG, BYTE*)>);
static_assert(std::is_same_v<decltype(&com::IVendorXuAccess::SendRequest),
                             HRESULT (__stdcall com::IVendorXuAccess::*)(ULONG, BYTE*)>);
static_assert(std::is_same_v<decltype(&com::IKsTopologyInfo::get_NumNodes),
                             HRESULT (__stdcall com::IKsTopologyInfo::*)(DWORD*)>);
static_assert(std::is_same_v<decltype(&com::IKsTopologyInfo::get_NodeType),
                             HRESULT (__stdcall com::IKsTopologyInfo::*)(DWORD, GUID*)>);
// The system's IKsControl::KsProperty (noexcept with some compilers: the
// conversion below accepts that, but no other difference).
inline constexpr HRESULT (__stdcall ::IKsControl::*kKsPropertyMethod)(
    PKSPROPERTY, ULONG, LPVOID, ULONG, ULONG*) = &::IKsControl::KsProperty;

// Sizes: the portable types mirror the system's byte for byte.
static_assert(sizeof(HRESULT) == sizeof(HResult) && std::is_signed_v<HRESULT>);
static_assert(sizeof(ULONG) == 4 && sizeof(DWORD) == 4);
static_assert(sizeof(GUID) == sizeof(Guid));
static_assert(sizeof(::KSPROPERTY) == sizeof(KsIdentifier));
static_assert(sizeof(::KSP_NODE) == 32 && sizeof(qv::KSP_NODE) == 32);
static_assert(offsetof(::KSP_NODE, NodeId) == offsetof(qv::KSP_NODE, NodeId));
static_assert(offsetof(::KSP_NODE, Reserved) == offsetof(qv::KSP_NODE, Reserved));
static_assert(KSPROPERTY_TYPE_GET == kKsPropertyTypeGet);
static_assert(KSPROPERTY_TYPE_SET == kKsPropertyTypeSet);
static_assert(KSPROPERTY_TYPE_TOPOLOGY == kKsPropertyTypeTopology);

// The portable KSP_NODE as the system's, field by field.
inline ::KSP_NODE toNative(const qv::KSP_NODE& p) {
  ::KSP_NODE n{};
  n.Property.Set = toNative(p.Property.Set);
  n.Property.Id = p.Property.Id;
  n.Property.Flags = p.Property.Flags;
  n.NodeId = p.NodeId;
  n.Reserved = p.Reserved;
  return n;
}

}  // namespace qv::win32
