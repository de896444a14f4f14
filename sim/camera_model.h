#pragma once
// One simulated camera: the chip behind the vendor extension unit (byte
// registers, SPI master, flash engine with download mode), the serial flash
// on its SPI bus, injected faults, and the request trace lines it writes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "sim/nor_flash.h"
#include "sim/scene.h"
#include "sim/sim_clock.h"
#include "sim/trace.h"

namespace qv::sim {

// Chip registers.
inline constexpr std::uint16_t kRegSpiCtrl = 0x2020;
inline constexpr std::uint16_t kRegSpiBusy = 0x2021;
inline constexpr std::uint16_t kRegSpiTx = 0x2022;
inline constexpr std::uint16_t kRegSpiRx0 = 0x2023;
inline constexpr std::uint16_t kRegSpiRx1 = 0x2024;
inline constexpr std::uint16_t kRegSpiCs = 0x2025;
inline constexpr std::uint16_t kRegReset = 0x2034;
inline constexpr std::uint16_t kRegChipId = 0x20FF;

// Timing of one extension-unit control request on USB 2.0 high speed (see
// sim/README.md): a fixed cost and a cost per data byte.
inline constexpr std::uint64_t kRequestFixedNs = 250'000;
inline constexpr std::uint64_t kRequestPerBytePs = 62'500;
// One byte on the chip's SPI bus (a 24 MHz SPI clock, 8 bits).
inline constexpr std::uint64_t kSpiByteNs = 333;
// How long the host's driver waits for a control request before it gives
// up (uvcvideo's UVC_CTRL_CONTROL_TIMEOUT, 5000 ms): what a stalled request
// costs.
inline constexpr std::uint64_t kDriverTimeoutNs = 5'000'000'000;
// How long a camera that re-enumerates is off the bus after its chip reset:
// the chip's boot from flash and the host's enumeration of the new device.
inline constexpr std::uint64_t kReenumerationNs = 1'000'000'000;
// How long the chip's flash engine waits for the flash to finish one
// program or erase before it gives the operation up.
inline constexpr std::uint64_t kEngineWaitLimitNs = 2'000'000'000;

enum class XuRequest { Set, Get, Len };

// The refusal of a SET or GET whose length is not the one the control
// announces: HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), as Windows'
// in-box driver answers it.
inline constexpr HResult kLengthMismatch = static_cast<HResult>(0x8007007Au);

// Counters for the benchmark (bench/): where the simulated time of one
// camera's requests went. They have no effect on behaviour.
struct RequestAccounting {
  std::uint64_t requests = 0;
  // Data bytes as the transfer cost counts them: a SET's or GET's length,
  // 2 for a GET-LENGTH.
  std::uint64_t bytes = 0;
  // The transfer cost of the requests (fixed and per byte).
  std::uint64_t transferNs = 0;
  // Time the chip's flash engine spent inside requests: its SPI traffic and
  // its waits for the flash.
  std::uint64_t engineNs = 0;
  // Reads of the SPI busy register that answered busy.
  std::uint64_t spiBusyAnswers = 0;
};

// Told when each extension-unit request starts and ends (for the
// benchmark's allocation count around the request path).
class RequestObserver {
 public:
  virtual void requestStarted() = 0;
  virtual void requestFinished() = 0;

 protected:
  ~RequestObserver() = default;
};

// The chip family from the chip ID's high nibble (100 when none).
std::uint8_t chipFamilyOf(std::uint8_t chipId);

class CameraModel {
 public:
  CameraModel(std::size_t index, const CameraConfig& config,
              std::vector<std::uint8_t> flashContents, SimClock& clock, TraceSink& trace);

  // One extension-unit request as the camera receives it, whichever route
  // carried it; `routeError` is the route's own refusal (wrong property set,
  // wrong node), or 0. Writes the trace line. For Len, `reported` receives
  // the control's length; for Get, `data` receives `length` bytes.
  HResult request(XuRequest kind, std::uint32_t selector, std::uint8_t* data, std::uint32_t length,
                  std::uint32_t& reported, HResult routeError = 0);

  // The private route's request recorded by SendRequest until ReadReply.
  struct Pending {
    bool valid = false;
    XuRequest kind = XuRequest::Get;
    std::uint32_t selector = 0;
    std::uint32_t length = 0;
  };
  Pending& pending() { return pending_; }
  // Every request after the unplug point fails.
  bool unplugged() const;

  // Accessors for tests and the session.
  std::size_t index() const { return index_; }
  const CameraConfig& config() const { return config_; }
  std::uint8_t family() const { return family_; }
  std::span<const std::uint8_t> flash() const { return flash_.contents(); }
  std::span<std::uint8_t> flash() { return flash_.contents(); }
  NorFlash& flashChip() { return flash_; }
  std::uint8_t statusRegister() const { return flash_.status(); }
  // A register's stored value, without the side effects of a read.
  std::uint8_t peekRegister(std::uint16_t address) const;
  bool downloadActive() const { return dfuActive_; }
  std::uint8_t downloadChecksum() const { return dfuChecksum_; }
  std::uint32_t downloadOffset() const { return dfuOffset_; }
  bool downloadPrepared() const { return prepared_; }
  // Index 1..12: the loaded command table; 13: the identification command.
  const std::array<std::uint8_t, 14>& commandTable() const { return table_; }
  std::uint8_t flashMode() const { return flashMode_; }
  std::uint32_t flashAddress() const { return flashAddress_; }
  std::uint32_t requestCount() const { return requestCount_; }
  // What GET-LENGTH of a control reports, without it counting as a request
  // (a USB host driver asks it on its own before forwarding a query).
  std::uint32_t reportedLength(std::uint32_t selector) const { return controlLength(selector); }
  // Whether the extension unit has this control (a driver describes it, or
  // declares it, without asking the camera).
  bool hasControl(std::uint32_t selector) const { return knownSelector(selector); }
  std::uint32_t resetCount() const { return resetCount_; }
  // The camera on the bus: each chip reset of a camera that re-enumerates
  // drops it off (a new generation: what the host held of it is dead) until
  // backAtNs() on the clock (kNeverBack: it does not come back).
  static constexpr std::uint64_t kNeverBack = ~std::uint64_t{0};
  std::uint32_t generation() const { return generation_; }
  std::uint64_t backAtNs() const { return backAtNs_; }
  const RequestAccounting& accounting() const { return accounting_; }
  void setRequestObserver(RequestObserver* observer) { observer_ = observer; }

 private:
  HResult execute(XuRequest kind, std::uint32_t selector, std::uint8_t* data, std::uint32_t length,
                  std::uint32_t& reported);
  bool knownSelector(std::uint32_t selector) const;
  std::uint32_t controlLength(std::uint32_t selector) const;
  void traceRequest(XuRequest kind, std::uint32_t selector, const std::uint8_t* data,
                    std::uint32_t length, std::uint32_t reported, bool refused, HResult result);

  // Registers and the SPI master.
  void writeRegister(std::uint16_t address, std::uint8_t value);
  std::uint8_t readRegister(std::uint16_t address);
  void startSpiTransfer();
  std::uint8_t selectValue() const;
  void resetChip();

  // The flash engine, driving the flash with the loaded table's opcodes.
  class EngineScope;
  std::uint8_t tableOp(std::size_t index) const { return table_[index]; }
  void engineTransaction(std::span<const std::uint8_t> out, std::uint8_t* in, std::size_t inCount);
  bool engineWaitIdle();
  bool engineErase(std::uint32_t address);
  bool engineEraseOnce(std::uint32_t address);
  bool engineProgram(std::uint32_t address, const std::uint8_t* data, std::size_t count);
  void engineRead(std::uint32_t address, std::uint8_t* out, std::size_t count);
  void engineReadId(std::uint8_t command, std::uint8_t* out);
  void downloadBlock(const std::uint8_t* data, std::uint32_t length);
  bool downloadSkips(std::uint32_t address) const;
  std::uint32_t headerRewriteOffset() const;

  std::size_t index_;
  CameraConfig config_;
  SimClock& clock_;
  TraceSink& trace_;
  NorFlash flash_;
  std::uint8_t family_;

  std::vector<std::uint8_t> registers_;
  std::uint16_t regAddress_ = 0;
  std::uint64_t spiBusyUntilNs_ = 0;
  std::uint32_t spiBusyReadsLeft_ = 0;
  bool spiBusyStuck_ = false;

  std::array<std::uint8_t, 14> table_{};
  std::uint8_t paramIndex_ = 0;
  std::uint8_t flashMode_ = 0;
  std::uint32_t flashAddress_ = 0;
  bool engineGaveUp_ = false;

  bool dfuActive_ = false;
  bool prepared_ = false;
  std::uint32_t dfuOffset_ = 0;
  std::uint8_t dfuChecksum_ = 0;
  std::uint8_t checksumXor_ = 0;
  // Per fault: the reads a flip_read fault has changed so far.
  std::vector<std::uint32_t> flipsDone_;
  bool dfuFirstBlockSeen_ = false;
  bool commitByteValid_ = false;
  std::uint8_t commitByte_ = 0xFF;
  std::vector<bool> erasedSectors_;

  std::uint32_t requestCount_ = 0;
  std::uint32_t resetCount_ = 0;
  std::uint32_t generation_ = 0;
  std::uint64_t backAtNs_ = 0;
  Pending pending_;
  RequestAccounting accounting_;
  RequestObserver* observer_ = nullptr;
};

}  // namespace qv::sim
