#pragma once
// A serial NOR flash as seen on its SPI pins: a command per chip-select
// cycle, executed when the chip is released, with the write-enable latch,
// block protection and a write-in-progress time on the simulator's clock.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/flash_parts.h"
#include "sim/sim_clock.h"

namespace qv::sim {

inline constexpr std::size_t kFlashPageSize = 256;
inline constexpr std::size_t kFlashSectorSize = 4096;

// Status register bits.
inline constexpr std::uint8_t kStatusWip = 0x01;
inline constexpr std::uint8_t kStatusWel = 0x02;
inline constexpr std::uint8_t kStatusBlockProtect = 0x0C;

// Kinds of busy period (each lasts the part's time for it).
enum class BusyKind : std::size_t { PageProgram, SectorErase, BlockErase, ChipErase, StatusWrite };
inline constexpr std::size_t kBusyKindCount = 5;

// Counters for the benchmark (bench/): how often the part was busy, kept
// apart for the chip's flash engine and for commands the host sent through
// the SPI registers. They have no effect on behaviour.
struct FlashAccounting {
  std::array<std::uint64_t, kBusyKindCount> engineBusy{};
  std::array<std::uint64_t, kBusyKindCount> hostBusy{};
  // Read Status answers to the host with write-in-progress set.
  std::uint64_t hostBusyStatusReads = 0;
};

class NorFlash {
 public:
  // `contents` sets the size (a multiple of the sector size); `status` the
  // status register at power-up (bit 1 sets the write-enable latch, bit 0 is
  // ignored).
  NorFlash(const FlashPart& part, std::vector<std::uint8_t> contents, std::uint8_t status,
           SimClock& clock);

  // Chip select: a falling edge starts a command, the rising edge ends it
  // (program, erase and status writes start there).
  void select();
  void release();
  bool selected() const { return selected_; }
  // One byte each way on the bus: `mosi` in, the returned byte out.
  std::uint8_t transfer(std::uint8_t mosi);

  bool hasOpcode(std::uint8_t opcode) const;
  bool busy() const;
  std::uint64_t busyUntilNs() const { return busyUntilNs_; }
  // The status byte as Read Status Register returns it.
  std::uint8_t status() const;
  bool writeEnabled() const { return wel_; }
  bool protectedNow() const;

  std::span<const std::uint8_t> contents() const { return contents_; }
  std::span<std::uint8_t> contents() { return contents_; }
  const FlashPart& part() const { return part_; }

  // The chip's flash engine on some families writes regardless of the
  // block-protect bits.
  void setIgnoreProtection(bool ignore) { ignoreProtection_ = ignore; }
  // Fault: once set, write-in-progress never clears.
  void setWipStuck(bool stuck) { wipStuck_ = stuck; }
  // Fault: the cell at `address` (wrapped to the size) does not take a
  // programmed value; erasing it still works.
  void addStuckCell(std::uint32_t address);

  // Whether commands the host sends through the SPI registers may change
  // the flash (write enable, program, erase, status write); when not, they
  // are ignored like opcodes the part lacks. Reads and identification pass.
  void setHostMayWrite(bool may) { hostMayWrite_ = may; }

  // Accounting: whether the chip's flash engine (rather than the host) is
  // driving the bus.
  void setEngineDriving(bool engine) { engineDriving_ = engine; }
  const FlashAccounting& accounting() const { return accounting_; }

 private:
  std::uint32_t wrap(std::uint64_t address) const;
  void startBusy(BusyKind kind, std::uint32_t microseconds);
  void executeOnRelease();
  void programPage();
  void erase(std::uint32_t address, std::uint32_t size);
  std::uint8_t idReply(const IdReply& r, std::size_t index) const;
  // Programs `data` into the cell at `address` (only clears bits), unless
  // the cell is stuck.
  void programCell(std::uint32_t address, std::uint8_t data);

  FlashPart part_;
  const CommandSet& commands_;
  std::vector<std::uint8_t> contents_;
  SimClock& clock_;

  std::uint8_t statusBits_;  // bits 2..7 as written
  bool wel_ = false;
  bool ewsr_ = false;  // Enable Write Status Register seen
  std::uint64_t busyUntilNs_ = 0;
  bool stuckBusy_ = false;
  bool wipStuck_ = false;
  std::vector<bool> stuck_;  // per address; empty: no stuck cell
  bool ignoreProtection_ = false;
  bool engineDriving_ = false;
  bool hostMayWrite_ = true;
  FlashAccounting accounting_;

  // The command of the current chip-select cycle.
  bool selected_ = false;
  bool ignored_ = false;
  std::size_t count_ = 0;  // bytes received in this cycle, opcode included
  std::uint8_t opcode_ = 0;
  std::uint32_t address_ = 0;
  std::array<std::uint8_t, kFlashPageSize> page_{};
  std::array<bool, kFlashPageSize> pageUsed_{};
  std::size_t dataCount_ = 0;
  std::uint8_t statusValue_ = 0;

  // Auto-address-increment programming (SST): active until Write Disable.
  bool aaiActive_ = false;
  std::uint32_t aaiAddress_ = 0;
};

}  // namespace qv::sim
