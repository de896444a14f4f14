#pragma once
// The per-camera objects: CCameraDevice, the handle the front end holds, and
// CCameraCore, the state of one opened camera with its register, flash and
// read-out operations.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channel/chip_registers.h"
#include "channel/xu_channel.h"
#include "platform/failure_notes.h"
#include "platform/platform.h"

namespace qv {

// Status codes of the per-camera operations.
inline constexpr std::int32_t STATUS_OK = 0;
inline constexpr std::int32_t STATUS_FAIL = 1;
inline constexpr std::int32_t STATUS_REFUSED = 0xA0;  // type or family not accepted

// The value that selects the serial flash on the chip's SPI master
// (releasing writes 2 minus it); belongs to the camera opened last.
extern std::int32_t g_spiCsAssertValue;

// Chip families by the high nibble of the chip ID register (REG_CHIP_ID),
// with the chip-select value each takes; every other nibble rejects the
// camera. Note the order: nibble 0x9 is family 103 and 0x8 is 104.
struct ChipFamilyRow {
  std::uint8_t idNibble;
  ChipFamily family;
  std::int32_t csAssert;
};
inline constexpr std::array<ChipFamilyRow, 7> kChipFamilyTable = {{
    {0x6, 102, 2},
    {0x9, 103, 2},
    {0x8, 104, 0},
    {0xA, 105, 0},
    {0xB, 106, 0},
    {0xC, 107, 0},
    {0xD, 108, 0},
}};
// The family and chip-select value of a chip ID; false when it is rejected.
bool ClassifyChipId(std::uint8_t chipId, ChipFamily& family, std::int32_t& csAssert);

// One page program: 3 address bytes (bits 23-16, 15-8, 7-0), up to 33 data
// bytes, and the number of data bytes.
struct PageProgramRequest {
  std::uint8_t address[3];
  std::uint8_t data[33];
  std::uint16_t length;
};

// USB identity of a camera.
struct CAMERA_USB_INFO {
  std::uint16_t vendor;
  std::uint16_t product;
  std::uint16_t revision;
  std::uint8_t portAddress;
  char grandparentId[260];
};

// Told each time an update stores its state code and progress percentage
// (the values the caller's UpdateStatus receives), so that a front end can
// show them while the update runs.
class IUpdateObserver {
 public:
  virtual ~IUpdateObserver() = default;
  virtual void OnUpdateStatus(std::uint8_t state, std::uint8_t progress) = 0;
};

// Whether another program streams from a camera, as its capture pin
// factory's global instance count tells.
enum class CameraUse {
  Free,     // no capture pin instance exists
  InUse,    // another program streams (a video call, the camera app)
  Unknown,  // the filter did not answer the pin properties, or has no capture pin
};

// One camera of a walk by identity: a USB device whose extension unit
// answered, however many capture functions (colour, infrared) or streaming
// interfaces it shows.
struct ListedCamera {
  // The instance ID of its USB device (on Linux usb-<busnum>-<devpath>): the
  // same for each of its functions and after a re-enumeration on the same
  // port. Empty when the device registry did not name it.
  std::string cameraId;
  // The function the walk reached it through.
  std::string devicePath;
  // That function's filter, bound and settled by the walk; the first open
  // of the camera takes it (empty after that).
  std::unique_ptr<ICaptureFilter> filter;
};

class CCameraCore {
 public:
  explicit CCameraCore(const Platform& platform);
  ~CCameraCore();
  CCameraCore(const CCameraCore&) = delete;
  CCameraCore& operator=(const CCameraCore&) = delete;

  // Discovery (camera/).
  std::int32_t OpenCamera(ChipFamily requestedFamily, std::int32_t index);
  // Opens the camera whose camera ID is `cameraId`, wherever its node is
  // now: a walk that binds only the matching function (one settle wait).
  // STATUS_FAIL when no device with that ID reaches its unit with an
  // accepted chip of the requested family.
  std::int32_t OpenCameraById(ChipFamily requestedFamily, std::string_view cameraId);
  // Opens a camera of ListCameras: through the filter the walk bound while
  // its function is still where the walk found it (no further wait), by its
  // ID otherwise. A camera without an ID opens only through its filter.
  std::int32_t OpenListedCamera(ChipFamily requestedFamily, ListedCamera& camera);
  void ReleaseCore();

  CXuChannel* channel() { return channel_.get(); }
  const char* devicePath() const { return devicePath_; }
  const Platform& platform() const { return platform_; }

  // A bounded wait gave up on this camera: later flash operations fail fast
  // and no update that met it may report success.
  // A request that timed out faults the camera too: the channel sends it
  // nothing more.
  bool faulted() const { return faulted_ || (channel_ != nullptr && channel_->silent()); }
  void markFaulted() {
    // Told once: the run's reason names the flash, not each wait after it,
    // and not the flash when the camera itself went away or silent.
    if (!faulted() && !runNotes().has(FailureKind::Unplugged))
      runNotes().note(FailureKind::FlashNotAnswering);
    faulted_ = true;
  }

  // How many requests of the register and flash-byte operations below have
  // failed on this camera. Those operations leave most results unexamined,
  // as the chip's protocol has them; a caller that must know whether a whole
  // sequence took effect compares the count before and after it.
  std::uint32_t failedRequests() const { return failedRequests_; }

  // Who is told of an update's progress (none: nobody). Not owned.
  void SetUpdateObserver(IUpdateObserver* observer) { updateObserver_ = observer; }
  // Tells the observer, if any, of an update's state and progress.
  void NotifyUpdateStatus(std::uint8_t state, std::uint8_t progress) {
    if (updateObserver_ != nullptr) updateObserver_->OnUpdateStatus(state, progress);
  }

  // Asks the bound filter's pin properties (never an extension-unit
  // request) whether another program streams from this camera.
  CameraUse CheckCameraInUse();
  // Holds the camera's stream (every capture function of its USB device)
  // for this process until `hold` is destroyed, so that no other program
  // starts streaming while it is written: Free with `hold` set, InUse when
  // another program streams already, Unknown when the system cannot hold it
  // (nothing held).
  CameraUse HoldForWrite(std::unique_ptr<IStreamHold>& hold);

  // Chip registers and serial-flash primitives (channel/).
  HResult WriteRegister(std::uint16_t address, std::uint8_t value);
  HResult ReadRegister(std::uint16_t address, std::uint8_t& value);
  bool WaitSpiIdle();  // false when the wait gave up (the core is then faulted)
  void SendSpiIdleByte();
  HResult FlashWriteEnable();
  HResult FlashEnableWriteStatus();
  std::uint8_t FlashReadStatus();
  void FlashWriteStatus(std::uint8_t value, std::int32_t useEwsr);
  // FlashWriteStatus without its comparison: the enable, the status write
  // and the wait for it to finish.
  void FlashWriteStatusRegister(std::uint8_t value, std::int32_t useEwsr);
  std::int32_t FlashWritePage(const PageProgramRequest& request);
  // Erases the 4 KB sector holding `address` with `opcode` (the part's
  // command-table entry 6): write enable, then the opcode and the three
  // address bytes, then the wait until the erase has finished (bounded like
  // every status wait). False when a request failed or a wait gave up.
  bool FlashEraseSector(std::uint8_t opcode, std::uint32_t address);
  HResult WriteFlashBytes(std::uint32_t address, std::uint32_t length, const std::uint8_t* data);
  HResult XuWriteFlashBytes(std::uint32_t address, std::uint32_t length, const std::uint8_t* data);
  std::int32_t ReadFlashId(std::uint8_t id[3], std::uint8_t command);
  std::int32_t ResetChip();
  // Whether the chip reset was sent since this core was made: a camera
  // that re-enumerates is then gone from this core's handles.
  bool chipWasReset() const { return chipReset_; }

  // Flash command tables and image patch (flash/).
  HResult LoadFlashCommandTable(std::uint8_t flashType);
  // The same load; `allSucceeded` tells whether every one of its 26 requests
  // succeeded (the result alone reports only the last). `dataLength`, when
  // given, receives the flash-data control's length from the load's closing
  // GET-LENGTH when that request succeeded with a length, and is left as it
  // was otherwise.
  HResult LoadFlashCommandTable(std::uint8_t flashType, bool& allSucceeded,
                                std::uint32_t* dataLength = nullptr);
  void PatchImageFlashCode(std::uint8_t* image, std::uint8_t flashType);

  // Sector-pair programming and verification (flash/).
  std::int32_t ProgramBySectorPairs(std::uint8_t* image, std::uint32_t length,
                                    std::uint8_t* computedChecksum, std::uint8_t* deviceChecksum,
                                    std::uint8_t* state, std::uint8_t* progress);
  std::int32_t ProgramSectorRange(const std::uint8_t* source, std::uint32_t start,
                                  std::uint32_t end, std::uint8_t* state, std::uint8_t* progress);
  std::int32_t ProgramSectorPair(const std::uint8_t* source, std::uint32_t address);
  std::int32_t VerifyFlash(const std::uint8_t* expected, std::uint8_t flashType, std::uint32_t n);

  // Read-out (flash/).
  std::int32_t ReadFlash(std::uint8_t* buffer, std::uint8_t flashType, std::uint32_t start,
                         std::uint32_t end);

 private:
  // One SPI byte: the transmit write, then the idle wait (false: gave up).
  bool spiSend(std::uint8_t byte);
  // Write Enable or Enable Write Status Register: select, opcode, release.
  HResult flashSimpleCommand(std::uint8_t opcode);
  // Ends a sequence whose wait gave up with the flash selected: releases it
  // once and returns kHrWaitGaveUp.
  HResult abandonSelected();
  // The chip ID read of a camera reached only through the private interface.
  std::uint8_t readChipIdPrivately();
  // Reaches the extension unit of the device whose filter the core holds
  // (through its topology, or the private interface) and reads the chip ID.
  // False when the unit is not reached: the device is passed over.
  bool reachUnit(std::unique_ptr<IKsControl>& ks, std::uint8_t& chipId);
  // Takes the reached device when its chip ID is accepted for the requested
  // family: the channel's family, the chip-select value, the KS control.
  bool takeDevice(ChipFamily requestedFamily, std::uint8_t chipId, std::unique_ptr<IKsControl>& ks);
  // The open by camera ID; `listed`, when given, offers its bound filter.
  std::int32_t openById(ChipFamily requestedFamily, std::string_view cameraId,
                        ListedCamera* listed);
  void setDevicePath(const char* path);
  // Passes a request's result on, counting it when it failed.
  HResult counted(HResult result) {
    if (failed(result)) ++failedRequests_;
    return result;
  }

  const Platform& platform_;
  std::unique_ptr<CXuChannel> channel_;
  std::unique_ptr<ICaptureFilter> filter_;
  std::unique_ptr<IKsControl> ksControl_;
  std::unique_ptr<IVendorXuAccess> private_;
  char devicePath_[256]{};
  bool faulted_ = false;
  bool chipReset_ = false;
  std::uint32_t failedRequests_ = 0;
  IUpdateObserver* updateObserver_ = nullptr;
};

class CCameraDevice {
 public:
  explicit CCameraDevice(const Platform& platform);
  ~CCameraDevice();
  CCameraDevice(const CCameraDevice&) = delete;
  CCameraDevice& operator=(const CCameraDevice&) = delete;

  std::int32_t OpenCamera(ChipFamily requestedFamily, std::int32_t index);
  std::int32_t OpenListedCamera(ChipFamily requestedFamily, ListedCamera& camera);
  void SetTraceFlag(std::int32_t value) { traceFlag_ = value; }
  std::int32_t traceFlag() const { return traceFlag_; }
  CCameraCore* core() { return core_.get(); }
  // The observer of this camera's updates (not owned).
  void SetUpdateObserver(IUpdateObserver* observer) {
    if (core_ != nullptr) core_->SetUpdateObserver(observer);
  }

  // USB identity (camera/).
  std::int32_t GetUsbInfo(CAMERA_USB_INFO& info);
  // Flash identification (flash/).
  std::int32_t QueryFlashType(std::uint8_t& flashType);
  // Download engine (flash/). A restore hands it a backup, which already
  // holds the image code byte the flash had: it leaves the patch out.
  enum class ImageCode : std::uint8_t { Patch, AsGiven };
  std::int32_t DownloadFirmware(std::uint8_t* image, std::uint32_t length, std::uint8_t flashType,
                                std::uint8_t* computedChecksum, std::uint8_t* deviceChecksum,
                                std::uint8_t* state, std::uint8_t* progress,
                                ImageCode imageCode = ImageCode::Patch);
  std::int32_t UnprotectFlash(std::uint8_t flashType);
  std::int32_t ProtectFlash(std::uint8_t flashType);
  // Read-out of flash addresses 0 to 0xFFFF (flash/).
  std::int32_t DumpFlash(std::uint8_t* buffer, std::uint8_t flashType);

  // What the last DownloadFirmware got as far as: its state codes end in
  // "done" whatever happened, so a report of it asks here.
  struct DownloadFacts {
    bool enteredDownloadMode = false;  // the chip took the request to enter it
    bool deviceChecksumRead = false;   // the chip's checksum was read
  };
  const DownloadFacts& lastDownload() const { return lastDownload_; }
  // What QueryFlashType last found: the FlashType, and the command and three
  // reply bytes of its last stage (command 0: it has not run), for a report
  // of what an update identified.
  struct FlashIdAnswer {
    std::uint8_t flashType = 120;
    std::uint8_t command = 0;
    std::array<std::uint8_t, 3> reply{};
  };
  const FlashIdAnswer& lastFlashId() const { return lastFlashId_; }

 private:
  const Platform& platform_;
  std::int32_t traceFlag_ = 0;
  DownloadFacts lastDownload_;
  FlashIdAnswer lastFlashId_;
  std::unique_ptr<CCameraCore> core_;
};

// Counts the USB video input devices whose extension unit answers.
std::int32_t CountCameras(const Platform& platform, std::int32_t& count);

// One walk of the video input devices: one entry per USB device whose
// extension unit answers, in walk order. The path is read before the filter
// is bound: a device that is no USB device, and a further function of a
// device already listed (the same camera ID), are passed over unbound, so
// the walk waits once per USB device. 0 when the walk ran to its end; 1 when
// it did not start or stopped early (nothing listed).
std::int32_t ListCameras(const Platform& platform, std::vector<ListedCamera>& cameras);

// The camera IDs of device paths, from one reading of the device registry:
// the instance ID of the USB device the path's registry node belongs to
// (its parent when the node is an interface, "&MI_", of a composite device).
class CameraIds {
 public:
  explicit CameraIds(const Platform& platform);
  ~CameraIds();
  CameraIds(const CameraIds&) = delete;
  CameraIds& operator=(const CameraIds&) = delete;
  // Empty when the registry names no node for the path.
  std::string of(const char* devicePath);

 private:
  std::unique_ptr<IImageDeviceList> lists_[2];
};

// Whether `devicePath` is the path of the device with registry instance ID
// `instanceId`: after the path's 4-character prefix comes the whole ID,
// backslashes as '#', then '#' (letters compared without case).
bool IsDevicePathOf(const char* devicePath, const char* instanceId);

// Four characters of a hardware ID as a 16-bit hexadecimal value; 0xFFFF
// marks a character that is not accepted.
std::uint16_t ParseHexField(const char* characters);

}  // namespace qv
