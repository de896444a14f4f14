#pragma once
// The scene file: the simulated cameras and Image-class devices of a run.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "sim/flash_parts.h"

namespace qv::sim {

enum class Route { Ks, Private, Both, None };

struct FaultConfig {
  enum class Kind {
    Request,
    UnplugAfter,
    SpiBusyStuck,
    WipStuck,
    ChecksumXor,
    StuckCells,
    Stall,
    FlipRead
  };
  Kind kind = Kind::Request;
  // Request: first failing request (from 1); UnplugAfter: n; Stall: the
  // request answered too late
  std::uint32_t request = 0;
  std::uint32_t count = 1;           // Request: how many fail; FlipRead: how many reads
  std::uint32_t address = 0;         // FlipRead: the flash address read wrong
  HResult result = 0;                // Request: the HRESULT returned
  std::uint8_t xorValue = 0;         // ChecksumXor
  std::vector<std::uint32_t> cells;  // StuckCells: flash addresses
};

struct CameraConfig {
  std::string devicePath;
  // The "DevicePath" of a second (infrared) capture function of the same
  // USB device: one more video input device, right after this one in the
  // walk, that reaches the same chip.
  std::optional<std::string> infraredPath;
  Route route = Route::Ks;
  std::vector<bool> nodes{true};  // true: extension-unit node
  bool secondaryGuid = false;
  std::uint8_t chipId = 0x8A;
  FlashPart part{};
  std::uint32_t flashSize = 65536;
  std::optional<std::string> flashFile;  // resolved against the scene folder
  std::uint8_t statusRegister = 0x0C;
  std::uint32_t dfuBlockLength = 4096;
  std::uint32_t readBlockLength = 4096;
  std::vector<FaultConfig> faults;
  // Test hooks (see sim/README.md): failures of the platform calls.
  HResult bindObjectResult = 0;
  HResult bindStorageResult = 0;
  HResult readDevicePathResult = 0;
  bool ksControl = true;
  // Another program streams from the camera (its capture pin has an
  // instance); Unsupported: the filter does not answer the pin properties.
  enum class Streaming { No, Yes, Unsupported };
  Streaming streaming = Streaming::No;
  // What the chip reset does to the camera on the bus: nothing (No), it
  // drops off and comes back as a new device on the same port about a
  // second later (Yes), or it drops off for good (Never).
  enum class Reenumerates { No, Yes, Never };
  Reenumerates reenumerates = Reenumerates::No;
  // Selectors (bit n: selector n) the extension unit does not declare: the
  // camera has no such control, whatever its chip answers.
  std::uint32_t undeclaredControls = 0;
  std::uint32_t spiBusyReads = 0;  // busy register reads non-zero this many times per transfer
  // The USB identity the USB/IP camera (sim/usbip) presents; the other
  // routes ignore it.
  std::uint16_t usbVendor = 0x04F2;
  std::uint16_t usbProduct = 0xB5BD;
  std::uint16_t usbRevision = 0x0100;
  // Its extension unit declares every selector from 1 (as Windows' in-box
  // driver wants them) rather than only those the chip answers.
  bool usbContiguousControls = true;
  // How it connects: at super speed (a USB 3 root hub) rather than high
  // speed, and with a vendor-specific configuration 1 before the video
  // function's configuration 2.
  bool usbSuperSpeed = false;
  bool usbVendorConfigurationFirst = false;
  // The tool's request with this number (from 1; 0: none), when it is a
  // GET_CUR, is answered with half of its bytes.
  std::uint32_t usbShortReply = 0;
};

struct ImageDeviceConfig {
  std::string instanceId;
  std::vector<std::string> hardwareIds;
  std::optional<std::uint32_t> address;
  std::optional<std::string> grandparentId;
  // The n of the parent node's ID USB\SIM_COMPOSITE\<n> (from 1; none: the
  // entry's own position from 1). Entries with the same n are functions of
  // one USB device.
  std::optional<std::uint32_t> parent;
};

struct Scene {
  bool realClock = false;
  std::optional<std::string> tracePath;  // resolved against the scene folder
  std::vector<CameraConfig> cameras;
  std::vector<ImageDeviceConfig> imageDevices;
  // Test hooks (see sim/README.md).
  HResult videoEnumResult = 0;                  // failure of creating the device enumerator
  bool registryAvailable = true;                // false: the Image-class list cannot be opened
  std::optional<std::uint32_t> imageEnumError;  // last error after the listed devices
};

// Parses scene text. On failure returns nothing and sets `error` to
// "<displayName>: <problem>".
std::optional<Scene> parseScene(const std::string& text, const std::string& baseDir,
                                const std::string& displayName, std::string& error);

// Reads the flash contents for a camera: the flash file when it exists, else
// all 0xFF. False with `error` when the file exists but cannot be used.
bool loadFlashContents(const CameraConfig& camera, std::vector<std::uint8_t>& contents,
                       std::string& error);

// The text of a scene file. False with "<displayName>: cannot read the scene
// file" in `error` when it cannot be read (missing, a folder, a read error).
bool readSceneText(const std::filesystem::path& path, const std::string& displayName,
                   std::string& text, std::string& error);

// The flash contents of every camera, in scene order. False with
// "<displayName>: cameras[i].flash_file: <problem>" for the first that
// cannot be used.
bool loadAllFlashContents(const Scene& scene, const std::string& displayName,
                          std::vector<std::vector<std::uint8_t>>& contents, std::string& error);

}  // namespace qv::sim
