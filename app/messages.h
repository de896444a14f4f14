#pragma once
// The front end's console texts. The wording is fixed: scripts and service
// technicians read it character for character (spelling included).

#include <cstdint>
#include <string>
#include <string_view>

namespace qv::msg {

inline constexpr std::wstring_view kAlreadyRunning =
    L"There is already an instance of this application running.";
inline constexpr std::wstring_view kNoCamera = L"No Quorvel camera found\n";
inline constexpr std::wstring_view kChecking = L"Checking, Please wiat...\n";
inline constexpr std::wstring_view kDumpFail = L"Dump FW fail.\n";
inline constexpr std::wstring_view kDumpOk = L"Dump FW ok.\n";
inline constexpr std::wstring_view kPass = L"Pass";
inline constexpr std::wstring_view kFail = L"Fail";
inline constexpr std::wstring_view kBinaryCreateFail = L"Binary file create fail.\n";
inline constexpr std::wstring_view kBinaryLoadFail = L"Binary file load fail.\n";
inline constexpr std::wstring_view kFlashUndefined =
    L"Flash type undefined, stop download process.\n";
// The identified part is smaller than the flash span the update writes.
inline constexpr std::wstring_view kFlashTooSmall =
    L"Flash too small for the image, stop download process.\n";
inline constexpr std::wstring_view kStartUpdate = L"start update...\n";
// Standard error, under -dbg only: the camera did not tell whether another
// program streams from it, and the update goes on.
inline constexpr std::string_view kInUseUnknown =
    "Could not check whether another program is using the camera; going on.\n";
inline constexpr std::string_view kControlsUnknown =
    "Could not check the camera's controls before the update; going on.\n";

// The answer to "--help" (and "-h", "-?", "/?"); after a refused command
// line on standard error.
extern const std::wstring_view kUsage;
// The answer to "--version": "qvflash <version>\n".
std::wstring VersionLine();

// ASCII wide text as bytes (anything else shows as '?').
std::string Narrow(std::wstring_view text);

// "%d": a signed decimal number.
std::wstring Decimal(std::int32_t value);
// "%.4X": a 16-bit value as four upper-case hexadecimal digits.
std::wstring Hex4(std::uint16_t value);

// "Device %d init fail \n"
std::wstring DeviceInitFail(std::int32_t index);
// "--> Device %d VID/PID (0x%.4X/0x%.4X)\n"
std::wstring DeviceMatch(std::int32_t index, std::uint16_t vendor, std::uint16_t product);
// "Device %d VID/PID not match (0x%.4X/0x%.4X)\n"
std::wstring DeviceMismatch(std::int32_t index, std::uint16_t vendor, std::uint16_t product);
// "Update %s\n" with "Success" or "Fail"
std::wstring UpdateResult(std::int32_t result);
// "Flash : %s\n"
std::wstring FlashNameLine(std::wstring_view name);

}  // namespace qv::msg
