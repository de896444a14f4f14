#pragma once
// What the logic needs of the platform's camera stack: the video input
// enumeration, a capture filter's Kernel Streaming control and topology, and
// the camera driver's private interface.
//
// Every interface is owned through std::unique_ptr: destroying the object
// releases the one reference it stands for (a COM backend releases its COM
// reference in the destructor). No request allocates memory.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/guid.h"
#include "base/hresult.h"

namespace qv {

// KSPROPERTY / KSIDENTIFIER.
struct KsIdentifier {
  Guid Set;
  std::uint32_t Id;
  std::uint32_t Flags;
};

// KSP_NODE: a property request addressed to one topology node.
struct KSP_NODE {
  KsIdentifier Property;
  std::uint32_t NodeId;
  std::uint32_t Reserved;
};
static_assert(sizeof(KSP_NODE) == 32, "KSP_NODE is 32 bytes on the wire");

inline constexpr std::uint32_t kKsPropertyTypeGet = 0x00000001;       // KSPROPERTY_TYPE_GET
inline constexpr std::uint32_t kKsPropertyTypeSet = 0x00000002;       // KSPROPERTY_TYPE_SET
inline constexpr std::uint32_t kKsPropertyTypeTopology = 0x10000000;  // KSPROPERTY_TYPE_TOPOLOGY
// KSPROPERTY_TYPE_BASICSUPPORT: asked with a ULONG-sized buffer, the driver
// answers the property's access flags (kKsPropertyTypeGet | kKsPropertyTypeSet)
// and sends nothing to the device's control for it.
inline constexpr std::uint32_t kKsPropertyTypeBasicSupport = 0x00000200;

// KSPROPERTY_EXTENSION_UNIT_INFO: property 0 of an extension unit's own
// property set, a GET on the unit's node; the driver answers with the
// unit's descriptor as it read it from the device, sending nothing to the
// device for it. Ids 1 and up are the unit's controls.
inline constexpr std::uint32_t kKsPropertyExtensionUnitInfo = 0;

// Pin properties (KSPROPERTY_PIN), asked of the filter itself rather than a
// node: the request is a KSP_PIN, which has KSP_NODE's layout with the pin id
// where the node id is. Flags: kKsPropertyTypeGet alone (no topology bit).
inline constexpr std::uint32_t kKsPropertyPinCTypes = 1;  // ULONG: number of pin factories
inline constexpr std::uint32_t kKsPropertyPinGlobalCInstances = 8;  // KSPIN_CINSTANCES
inline constexpr std::uint32_t kKsPropertyPinCategory = 11;         // GUID of the pin's category

// KSPIN_CINSTANCES: how many instances of a pin factory may exist, and how
// many exist now across every process (a streaming capture pin counts 1).
struct KsPinCInstances {
  std::uint32_t PossibleCount;
  std::uint32_t CurrentCount;
};
static_assert(sizeof(KsPinCInstances) == 8);

// IKsControl: property requests on a filter.
class IKsControl {
 public:
  virtual ~IKsControl() = default;
  // IKsControl::KsProperty. `data` may be null with dataLength 0 (a length
  // query); `bytesReturned` receives the byte count the driver reports.
  virtual HResult KsProperty(KSP_NODE* property, std::uint32_t propertyLength, void* data,
                             std::uint32_t dataLength, std::uint32_t* bytesReturned) = 0;
};

// IKsTopologyInfo: the nodes of a filter's topology.
class IKsTopologyInfo {
 public:
  virtual ~IKsTopologyInfo() = default;
  virtual HResult get_NumNodes(std::uint32_t* count) = 0;
  virtual HResult get_NodeType(std::uint32_t index, Guid* nodeType) = 0;
};

// The camera driver's private interface. Requests are blocks of
// kXuRequestBlockSize bytes: a 4-byte header (length LE16, request code,
// selector) and the data area.
inline constexpr std::uint32_t kVendorXuCommand = 35;
inline constexpr std::size_t kXuRequestBlockSize = 4128;
inline constexpr std::size_t kXuRequestDataSize = kXuRequestBlockSize - 4;
inline constexpr std::size_t kXuReplySize = 4096;
inline constexpr std::uint8_t kUvcSetCur = 0x01;
inline constexpr std::uint8_t kUvcGetCur = 0x81;
inline constexpr std::uint8_t kUvcGetLen = 0x85;

class IVendorXuAccess {
 public:
  virtual ~IVendorXuAccess() = default;
  // Writes the reply of the preceding GET to the start of `buffer`, or for a
  // GET-LENGTH the 16-bit length to the first two bytes of the block given.
  virtual HResult ReadReply(std::uint32_t command, std::uint8_t* buffer) = 0;
  // Delivers one request block.
  virtual HResult SendRequest(std::uint32_t command, std::uint8_t* block) = 0;
};

// A control its extension unit declares that the camera driver could not
// set up: the driver's own first questions to the camera about it (its
// length and capabilities) failed, and it refuses the control until they
// succeed. ERROR_DEVICE_NOT_AVAILABLE ("the device is not ready for use").
inline constexpr HResult kHrControlNotSetUp = hr::fromWin32(4319);

// The camera's stream held by this process: while the object lives no other
// program can start streaming from the camera (from any of its capture
// functions). Destroying it gives the stream back.
class IStreamHold {
 public:
  virtual ~IStreamHold() = default;
};

// A bound capture filter (IBaseFilter) and the interfaces it may offer
// through QueryInterface.
class ICaptureFilter {
 public:
  virtual ~ICaptureFilter() = default;
  virtual HResult QueryKsControl(std::unique_ptr<IKsControl>& out) = 0;
  virtual HResult QueryTopology(std::unique_ptr<IKsTopologyInfo>& out) = 0;
  virtual HResult QueryVendorXuAccess(std::unique_ptr<IVendorXuAccess>& out) = 0;
  // Holds the stream of every capture function of the filter's USB device
  // for this process, sending nothing to the extension unit. S_OK with
  // `out` set; HRESULT_FROM_WIN32(ERROR_BUSY) when another program streams
  // from one of them (nothing is held then); any other failure when the
  // system cannot hold it (nothing held, nothing known).
  virtual HResult HoldStream(std::unique_ptr<IStreamHold>& out) = 0;
};

// The property bag of a device moniker (IPropertyBag).
class IPropertyBag {
 public:
  virtual ~IPropertyBag() = default;
  // Reads "DevicePath" and converts it to the system ANSI code page
  // (WideCharToMultiByte, CP_ACP): writes at most `capacity` bytes to
  // `ansi`, NUL-terminated when it fits; a longer text is cut at `capacity`
  // bytes. When the read fails nothing is written.
  virtual HResult ReadDevicePath(char* ansi, std::size_t capacity) = 0;
};

// One device moniker of the video input category (IMoniker).
class IDeviceMoniker {
 public:
  virtual ~IDeviceMoniker() = default;
  virtual HResult BindToObject(std::unique_ptr<ICaptureFilter>& out) = 0;
  virtual HResult BindToStorage(std::unique_ptr<IPropertyBag>& out) = 0;
};

// The moniker enumerator of the video input category (IEnumMoniker).
class IMonikerEnum {
 public:
  virtual ~IMonikerEnum() = default;
  virtual HResult Reset() = 0;
  // One moniker at a time: S_OK with one, S_FALSE (hr::False) when exhausted.
  virtual HResult Next(std::unique_ptr<IDeviceMoniker>& out) = 0;
};

// The camera stack as a whole.
class ICameraStack {
 public:
  virtual ~ICameraStack() = default;
  // CoInitialize(NULL) / CoUninitialize; no-ops where there is no COM.
  virtual HResult CoInitialize() = 0;
  virtual void CoUninitialize() = 0;
  // Creates the system device enumerator (CLSID_SystemDeviceEnum), asks it
  // for the class enumerator of CLSID_VideoInputDeviceCategory with flags 0
  // and releases the device enumerator. Returns the failure of creating the
  // device enumerator, or the class enumerator's result: S_OK with `out`
  // set, S_FALSE with nothing when the category is empty.
  virtual HResult CreateVideoInputEnum(std::unique_ptr<IMonikerEnum>& out) = 0;
};

}  // namespace qv
