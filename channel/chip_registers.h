#pragma once
// The camera chip's byte registers that the host drives, the serial-flash
// opcodes sent through its SPI master, and the bounds of the host's busy
// waits on that master and on the flash.

#include <cstdint>

#include "base/hresult.h"

namespace qv {

// Chip registers (16-bit address, one byte each).
inline constexpr std::uint16_t REG_SPI_CTRL = 0x2020;  // 0x80 opens a sequence, 0x00 ends a program
inline constexpr std::uint16_t REG_SPI_BUSY = 0x2021;  // non-zero while the SPI master shifts
inline constexpr std::uint16_t REG_SPI_TX = 0x2022;    // byte to send
inline constexpr std::uint16_t REG_SPI_RX0 = 0x2023;   // read (and discarded) before each byte
inline constexpr std::uint16_t REG_SPI_RX1 = 0x2024;   // the byte received
inline constexpr std::uint16_t REG_SPI_CS = 0x2025;    // flash chip select
inline constexpr std::uint16_t REG_RESET_FIRST = 0x2030;  // reset block 0x2030 to 0x2034
inline constexpr std::uint16_t REG_CHIP_ID = 0x20FF;

// Serial-flash opcodes (the common SPI NOR command set).
inline constexpr std::uint8_t SPI_FLASH_WRITE_ENABLE = 0x06;
inline constexpr std::uint8_t SPI_FLASH_ENABLE_WRITE_STATUS = 0x50;
inline constexpr std::uint8_t SPI_FLASH_READ_STATUS = 0x05;
inline constexpr std::uint8_t SPI_FLASH_WRITE_STATUS = 0x01;
inline constexpr std::uint8_t SPI_FLASH_PAGE_PROGRAM = 0x02;
inline constexpr std::uint8_t SPI_FLASH_READ_JEDEC_ID = 0x9F;
inline constexpr std::uint8_t SPI_FLASH_STATUS_WIP = 0x01;  // write in progress

// Values written by the chip reset, one per register from REG_RESET_FIRST.
inline constexpr std::uint8_t kChipResetValues[5] = {0xFF, 0x00, 0x00, 0x02, 0x01};

// Room of the flash-write records: the page-program request carries up to
// 33 data bytes; the extension-unit data packet is 64 bytes, of which family
// 106 spends the first on the length.
inline constexpr std::uint32_t kPageProgramMaxData = 33;
inline constexpr std::uint32_t kXuFlashPacketSize = 64;

// Result of a flash operation that did not run because a busy wait on this
// camera gave up (HRESULT_FROM_WIN32(ERROR_TIMEOUT)).
inline constexpr HResult kHrWaitGaveUp = static_cast<HResult>(0x800705B4u);

// ---- Bounds of the busy waits --------------------------------------------
//
// Neither wait sleeps: each poll is paced by the USB control transfers it
// costs. A poll is one register read (an address SET and a data GET) for the
// SPI master, and a whole Read Status Register transaction (about twelve
// control transfers) for the flash. A control transfer through the UVC
// driver takes no less than about 100 us on a high-speed bus, typically
// 0.5 to 2 ms, and tens of ms on a loaded host.
//
// A wait that gives up marks the core faulted; later SPI flash operations
// return without sending anything. A sequence whose wait gave up with the
// flash selected (write enable, read status, write status, read ID) sends
// one release of the chip select before it returns, so that the flash does
// not take whatever reaches the bus next as part of the interrupted command.
// A page program is the exception: raising the chip select after whole
// bytes would start programming the part of the page already sent, while a
// flash left selected loses the command when the camera is unplugged.
//
// A wait gives up when it has polled its maximum number of times, or when
// its time limit on the platform clock has passed and it has polled at least
// kWaitMinPolls times (so one long stall of the host alone cannot end a wait
// that never saw the device again). A register read that fails counts as a
// poll; kWaitMaxReadFailures failures in a row end the wait at once, which is
// what an unplugged camera looks like.
//
// SPI master: it shifts one byte (8 clocks); even at a 100 kHz SPI clock that
// is 80 us, less than one control transfer, so the first poll normally finds
// it idle. 64 polls take at least 64 x 2 x 100 us = 12.8 ms, over 150 times
// the slowest byte; 100 ms covers a handful of polls on a badly loaded host.
inline constexpr std::uint32_t kSpiIdleMaxPolls = 64;
inline constexpr std::uint64_t kSpiIdleMaxMicroseconds = 100'000;
//
// Flash write-in-progress: the longest operation the host waits for is a
// status-register write (datasheet maxima of the supported parts up to
// about 40 ms) or a page program (up to about 5 ms), but the first status
// read of a programming run may also meet an erase the chip's flash engine
// started: 4 KB sector erase maxima are 0.3 to 0.4 s and 64 KB block erase
// (or whole-chip erase of the 512 Kbit parts) maxima about 2 to 3 s. The
// host never sends a whole-chip erase of the larger parts itself. 5 s covers
// the slowest of these with margin. At the fastest transfers a status poll
// costs about 12 x 100 us = 1.2 ms, so 5000 polls span at least 6 s: on real
// hardware the time limit ends the wait first, the count bounds it when the
// clock does not advance.
inline constexpr std::uint32_t kFlashWipMaxPolls = 5000;
inline constexpr std::uint64_t kFlashWipMaxMicroseconds = 5'000'000;
inline constexpr std::uint32_t kWaitMinPolls = 4;
inline constexpr std::uint32_t kWaitMaxReadFailures = 8;

// What FlashReadStatus returns when its wait gave up (or the camera had
// already faulted): write-in-progress set, so no caller can take it for the
// settled status it asked for.
inline constexpr std::uint8_t kFlashStatusUnknown = 0xFF;

}  // namespace qv
