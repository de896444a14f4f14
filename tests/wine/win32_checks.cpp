// Checks of the Windows backend, run under Wine: the OS error translations,
// the GUID table against the system headers, the KSP_NODE conversion, the
// console bytes, files, the profile, the resources, the clock, the guard,
// and the camera stack and device registry of a machine without cameras.
#include "platform/win32/com_interfaces.h"

#include <initguid.h>

#include <devguid.h>
#include <ksmedia.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/update_job.h"
#include "camera/camera_device.h"
#include "firmware/embedded_images.h"
#include "platform/failure_notes.h"
#include "platform/host.h"
#include "platform/sim/sim_session.h"
#include "platform/win32/os_error.h"
#include "platform/win32/win32_services.h"
#include "platform/win32/write_guard_win32.h"
#include "sim/camera_model.h"
#include "tests/wine/check.h"

namespace qv::win32 {
namespace {

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A GUID from the flat list of the headers' STATIC_... macros.
GUID guidOf(unsigned long d1, unsigned short d2, unsigned short d3, unsigned char b0,
            unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4,
            unsigned char b5, unsigned char b6, unsigned char b7) {
  return GUID{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}

std::wstring scratchDir() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetTempPathW(MAX_PATH, buffer);
  std::wstring dir(buffer, n);
  if (!dir.empty() && dir.back() != L'\\') dir.push_back(L'\\');
  dir += L"qv_win32_checks_" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\";
}

std::vector<std::uint8_t> readAll(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return bytes;
  std::uint8_t chunk[4096];
  DWORD got = 0;
  while (::ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  ::CloseHandle(f);
  return bytes;
}

bool exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void checkErrorTranslations() {
  // HRESULT_FROM_WIN32 of each code the logic names, and of success.
  CHECK(fromWin32Error(0) == hr::Ok);
  CHECK(fromWin32Error(ERROR_MORE_DATA) == hr::MoreData);
  CHECK(fromWin32Error(ERROR_SET_NOT_FOUND) == hr::SetNotFound);
  CHECK(fromWin32Error(ERROR_NOT_FOUND) == hr::NotFound);
  CHECK(fromWin32Error(ERROR_DEVICE_NOT_CONNECTED) == hr::DeviceNotConnected);
  CHECK(fromWin32Error(ERROR_GEN_FAILURE) == hr::GenFailure);
  CHECK(fromWin32Error(ERROR_INSUFFICIENT_BUFFER) == static_cast<HResult>(0x8007007Au));
  for (std::uint32_t e : {1u, 5u, 31u, 122u, 183u, 234u, 259u, 1167u, 1168u, 1170u}) {
    CHECK(fromWin32Error(e) == hr::fromWin32(e));
  }
  // COM results pass through bit for bit.
  CHECK(fromComResult(S_OK) == hr::Ok);
  CHECK(fromComResult(S_FALSE) == hr::False);
  CHECK(fromComResult(E_POINTER) == hr::Pointer);
  CHECK(fromComResult(static_cast<long>(0x800700EAu)) == hr::MoreData);
  CHECK(fromComResult(E_NOINTERFACE) == hr::NoInterface);
  // The guard.
  using G = IInstanceGuard::Result;
  CHECK(guardResultFrom(true, 0) == G::Created);
  CHECK(guardResultFrom(true, ERROR_ALREADY_EXISTS) == G::AlreadyExists);
  CHECK(guardResultFrom(false, ERROR_ACCESS_DENIED) == G::AlreadyExists);
  CHECK(guardResultFrom(false, ERROR_INVALID_HANDLE) == G::Error);
  CHECK(guardResultFrom(false, 0) == G::Error);
  // The configuration manager.
  CHECK(configRetSucceeded(CR_SUCCESS));
  CHECK(!configRetSucceeded(CR_NO_SUCH_DEVNODE));
  CHECK(!configRetSucceeded(CR_BUFFER_SMALL));
  // The "DevicePath" read.
  CHECK(devicePathReadResult(S_OK, true) == hr::Ok);
  CHECK(devicePathReadResult(S_OK, false) == static_cast<HResult>(DISP_E_TYPEMISMATCH));
  CHECK(devicePathReadResult(E_FAIL, false) == hr::Fail);
  CHECK(devicePathReadResult(E_FAIL, true) == hr::Fail);
  // The capture pin's connection for the hold: another program streaming
  // is "in use" (ERROR_BUSY), anything else stays as it came.
  CHECK(streamHoldResult(S_OK) == hr::Ok);
  CHECK(streamHoldResult(HRESULT_FROM_WIN32(ERROR_BUSY)) == hr::Busy);
  CHECK(streamHoldResult(HRESULT_FROM_WIN32(ERROR_DEVICE_IN_USE)) == hr::Busy);
  CHECK(streamHoldResult(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)) == hr::Busy);
  CHECK(streamHoldResult(E_ACCESSDENIED) == static_cast<HResult>(E_ACCESSDENIED));
  CHECK(streamHoldResult(VFW_E_NO_ACCEPTABLE_TYPES) ==
        static_cast<HResult>(VFW_E_NO_ACCEPTABLE_TYPES));
  CHECK(streamHoldResult(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) == hr::NotFound);
}

void checkGuids() {
  CHECK(sameGuid(kClsidSystemDeviceEnum, CLSID_SystemDeviceEnum));
  CHECK(sameGuid(kClsidVideoInputDeviceCategory, CLSID_VideoInputDeviceCategory));
  CHECK(sameGuid(kIidICreateDevEnum, IID_ICreateDevEnum));
  CHECK(sameGuid(kIidIBaseFilter, IID_IBaseFilter));
  CHECK(sameGuid(kIidIPropertyBag, IID_IPropertyBag));
  const GUID ksControl = guidOf(STATIC_IID_IKsControl);
  CHECK(sameGuid(kIidIKsControl, ksControl));
  CHECK(sameGuid(kGuidDevClassImage, GUID_DEVCLASS_IMAGE));
  CHECK(sameGuid(kGuidDevClassCamera, GUID_DEVCLASS_CAMERA));
  const GUID pinSet = guidOf(STATIC_KSPROPSETID_Pin);
  CHECK(sameGuid(toNative(kKsPropSetIdPin), pinSet));
  const GUID capturePin = guidOf(STATIC_PINNAME_VIDEO_CAPTURE);
  CHECK(sameGuid(toNative(kPinNameVideoCapture), capturePin));
  const GUID devSpecific = guidOf(STATIC_KSNODETYPE_DEV_SPECIFIC);
  CHECK(sameGuid(toNative(kKsNodeTypeDevSpecific), devSpecific));
  const GUID vendor = {
      0x755742BA, 0xC3AD, 0x450A, {0xBF, 0x7B, 0x8E, 0x4F, 0x9D, 0x20, 0xA8, 0x30}};
  CHECK(sameGuid(kIidIVendorXuAccess, vendor));
  const GUID topology = {
      0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
  CHECK(sameGuid(kIidIKsTopologyInfo, topology));
  CHECK(fromNative(toNative(XU_GUID_SECONDARY)) == XU_GUID_SECONDARY);
  CHECK(sameGuid(kClsidFilterGraph, CLSID_FilterGraph));
  CHECK(sameGuid(kIidIGraphBuilder, IID_IGraphBuilder));
  CHECK(sameGuid(kIidIKsPropertySet, IID_IKsPropertySet));
  CHECK(sameGuid(kAmPropSetIdPin, AMPROPSETID_Pin));
  CHECK(sameGuid(kPinCategoryCapture, PIN_CATEGORY_CAPTURE));
}

void checkKspNode() {
  qv::KSP_NODE p{};
  p.Property.Set = XU_GUID_PRIMARY;
  p.Property.Id = 15;
  p.Property.Flags = kKsPropertyTypeGet | kKsPropertyTypeTopology;
  p.NodeId = 3;
  p.Reserved = 0xA5A5A5A5u;
  const ::KSP_NODE n = toNative(p);
  CHECK(sameGuid(n.Property.Set, toNative(XU_GUID_PRIMARY)));
  CHECK(n.Property.Id == 15);
  CHECK(n.Property.Flags == 0x10000001u);
  CHECK(n.NodeId == 3);
  CHECK(n.Reserved == 0xA5A5A5A5u);
  // Byte for byte the same record.
  CHECK(std::memcmp(&n, &p, sizeof n) == 0);
}

void checkConsoleBytes() {
  CHECK(consoleBytes(L"Checking, Please wiat...\n") == "Checking, Please wiat...\n");
  CHECK(consoleBytes(L"") == "");
  CHECK(consoleBytes(L"\u00E9") == "\xC3\xA9");
  CHECK(consoleBytes(L"\u20AC") == "\xE2\x82\xAC");
  CHECK(consoleBytes(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}) == "\xF0\x9F\x98\x80");
  CHECK(consoleBytes(std::wstring{wchar_t(0xD800), L'A'}) == "?A");
  CHECK(consoleBytes(std::wstring{L'a', wchar_t(0), L'b'}) == "a?b");
}

void checkFiles(const std::wstring& dir) {
  Win32FileSystem fs;
  CHECK(fs.PathSeparator() == L'\\');
  std::wstring self;
  CHECK(fs.ExecutablePath(self));
  CHECK(self.size() > 4 && self.find(L'\\') != std::wstring::npos);
  CHECK(self.size() >= 16 && self.compare(self.size() - 16, 16, L"win32_checks.exe") == 0);

  // The mapping: a new file of exactly the size, holding what was written.
  const std::wstring mapped = dir + L"tmp";
  {
    auto m = fs.CreateMapped(mapped, 5);
    CHECK(m != nullptr);
    if (m) std::memcpy(m->data(), "hello", 5);
  }
  CHECK(readAll(mapped) == std::vector<std::uint8_t>({'h', 'e', 'l', 'l', 'o'}));
  // An existing longer file is replaced, not merely overwritten at its start.
  {
    auto m = fs.CreateMapped(mapped, 2);
    CHECK(m != nullptr);
    if (m) std::memcpy(m->data(), "ok", 2);
  }
  CHECK(readAll(mapped) == std::vector<std::uint8_t>({'o', 'k'}));
  CHECK(fs.CreateMapped(mapped, 0) == nullptr);
  CHECK(fs.CreateMapped(dir + L"no such folder\\tmp", 4) == nullptr);
  // While mapped, the file is not shared.
  {
    auto m = fs.CreateMapped(mapped, 3);
    CHECK(m != nullptr);
    HANDLE other = ::CreateFileW(mapped.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(other == INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  }

  // Bounded reads.
  std::uint8_t buffer[8] = {};
  std::size_t length = 99;
  CHECK(fs.ReadFile(mapped, buffer, length) == IFileSystem::ReadResult::Ok);
  CHECK(length == 3);
  CHECK(fs.ReadFile(dir + L"missing", buffer, length) == IFileSystem::ReadResult::CannotOpen);
  CHECK(length == 0);
  const std::vector<std::uint8_t> nine(9, 0x5A);
  CHECK(fs.WriteFile(dir + L"nine", nine));
  std::uint8_t small[8] = {};
  CHECK(fs.ReadFile(dir + L"nine", small, length) == IFileSystem::ReadResult::TooLong);
  CHECK(small[0] == 0);  // nothing read when it does not fit
  std::uint8_t exact[9] = {};
  CHECK(fs.ReadFile(dir + L"nine", exact, length) == IFileSystem::ReadResult::Ok);
  CHECK(length == 9 && exact[8] == 0x5A);

  // The folder of kept files made as needed (again: taken as it is), lines
  // appended whole; a file in the way of a folder refused.
  const std::wstring kept = dir + L"state\\qvflash\\backups\\";
  CHECK(fs.CreateFolders(kept) && fs.CreateFolders(kept));
  CHECK(fs.AppendLine(kept + L"h.jsonl", "one\n") && fs.AppendLine(kept + L"h.jsonl", "two\n"));
  CHECK(readAll(kept + L"h.jsonl") ==
        std::vector<std::uint8_t>({'o', 'n', 'e', '\n', 't', 'w', 'o', '\n'}));
  CHECK(!fs.CreateFolders(dir + L"nine\\sub\\"));

  // Whole-file replacement: the new content only, no scratch file left.
  const std::wstring dump = dir + L"Dump.bin";
  std::vector<std::uint8_t> big(65536);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  CHECK(fs.WriteFile(dump, big));
  CHECK(readAll(dump) == big);
  const std::vector<std::uint8_t> two = {1, 2};
  CHECK(fs.WriteFile(dump, two));
  CHECK(readAll(dump) == two);
  CHECK(!fs.WriteFile(dir + L"no such folder\\Dump.bin", two));
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((dir + L"~qv*").c_str(), &found);
  CHECK(search == INVALID_HANDLE_VALUE);
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  // A folder at the name is not replaced.
  ::CreateDirectoryW((dir + L"folder").c_str(), nullptr);
  CHECK(!fs.WriteFile(dir + L"folder", two));

  CHECK(fs.RemoveFile(dump));
  CHECK(!exists(dump));
  CHECK(!fs.RemoveFile(dump));
}

// What an installed copy needs: the current directory, whether a folder
// takes files, and a private temporary file in the user's temporary folder.
void checkInstalledCopyFiles(const std::wstring& dir) {
  Win32FileSystem fs;
  CHECK(fs.PathLimit() == kMaxPath);
  wchar_t expected[MAX_PATH];
  const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, expected);
  std::wstring current;
  CHECK(fs.CurrentDirectory(current));
  CHECK(current == std::wstring(expected, n));

  std::wstring bare = dir;
  bare.pop_back();  // without its last backslash, as the logic asks
  CHECK(!fs.IsInstalledProgramFolder(bare));
  CHECK(!fs.IsInstalledProgramFolder(dir + L"no such folder"));
  WIN32_FIND_DATAW found;
  HANDLE probe = ::FindFirstFileW((dir + L"~qvprobe*").c_str(), &found);
  CHECK(probe == INVALID_HANDLE_VALUE);  // the probe is gone
  if (probe != INVALID_HANDLE_VALUE) ::FindClose(probe);

  wchar_t temporary[MAX_PATH + 1];
  const DWORD t = ::GetTempPathW(MAX_PATH + 1, temporary);
  std::wstring first;
  std::wstring second;
  {
    auto a = fs.CreateMappedTemporary(5, first);
    auto b = fs.CreateMappedTemporary(5, second);
    CHECK(a != nullptr && b != nullptr);
    if (a) std::memcpy(a->data(), "hello", 5);
    // Not shared while it is being written.
    HANDLE other = ::CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(other == INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
  }
  CHECK(first != second);
  CHECK(first.compare(0, t, std::wstring(temporary, t)) == 0);
  CHECK(readAll(first) == std::vector<std::uint8_t>({'h', 'e', 'l', 'l', 'o'}));
  CHECK(fs.RemoveFile(first) && fs.RemoveFile(second));
  CHECK(fs.PathForMessage(L"C:\\Tools\\Dump.bin") == "C:\\Tools\\Dump.bin");
}

void checkProfile(const std::wstring& dir) {
  Win32FileSystem fs;
  Win32Profile profile;
  const std::wstring ini = dir + L"setting.ini";
  const std::string text =
      "[other]\r\nGPIO=7\r\n[SETTING]\r\ngpio =  1abc  \r\nLong=0123456789AB\r\n";
  CHECK(fs.WriteFile(ini,
                     std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
  char buffer[10];
  CHECK(profile.ReadProfileString("SETTING", "GPIO", "0", buffer, sizeof buffer, ini) == 4);
  CHECK(std::string(buffer) == "1abc");
  CHECK(profile.ReadProfileString("setting", "Missing", "0", buffer, sizeof buffer, ini) == 1);
  CHECK(std::string(buffer) == "0");
  // Cut to size - 1 and terminated.
  CHECK(profile.ReadProfileString("SETTING", "Long", "0", buffer, sizeof buffer, ini) == 9);
  CHECK(std::string(buffer) == "012345678");
  CHECK(profile.ReadProfileString("SETTING", "GPIO", "0", buffer, sizeof buffer,
                                  dir + L"none.ini") == 1);
  CHECK(std::string(buffer) == "0");
}

void checkResources() {
  Win32Resources resources;
  const auto images = firmware::EmbeddedImages();
  CHECK(images.size() == 4);
  for (const auto& image : images) {
    const auto found = resources.FindBinary(image.id);
    CHECK(found.size() == firmware::kEmbeddedImageSize);
    CHECK(found.size() == image.size && std::memcmp(found.data(), image.data, image.size) == 0);
    // The trailer: 00 10 10 03 and the manufacturer's name.
    if (found.size() == firmware::kEmbeddedImageSize) {
      CHECK(found[32768] == 0x00 && found[32769] == 0x10 && found[32770] == 0x10 &&
            found[32771] == 0x03);
    }
  }
  CHECK(resources.FindBinary(106).data() != resources.FindBinary(102).data());
  CHECK(resources.FindBinary(103).empty());
  CHECK(resources.FindBinary(999).empty());
}

void checkClockAndGuard() {
  Win32Clock clock;
  const std::uint64_t a = clock.NowMicroseconds();
  clock.Sleep(1);
  const std::uint64_t b = clock.NowMicroseconds();
  CHECK(a > 0 && b >= a);

  const std::wstring name = L"qv-win32-checks-" + std::to_wstring(::GetCurrentProcessId());
  Win32InstanceGuard first;
  Win32InstanceGuard second;
  CHECK(first.Create(name) == IInstanceGuard::Result::Created);
  CHECK(second.Create(name) == IInstanceGuard::Result::AlreadyExists);
  // Both names are held: the session's and the global one.
  for (const std::wstring& held : {name, L"Global\\" + name}) {
    HANDLE h = ::OpenMutexW(SYNCHRONIZE, FALSE, held.c_str());
    CHECK(h != nullptr);
    if (h) ::CloseHandle(h);
  }
  // A copy in another session holds only the global name; an older copy in
  // this session only the session's: either stops a new one.
  for (const std::wstring prefix : {L"Global\\", L""}) {
    const std::wstring other =
        L"qv-win32-checks-other-" + prefix.substr(0, 1) + std::to_wstring(::GetCurrentProcessId());
    HANDLE holder = ::CreateMutexW(nullptr, FALSE, (prefix + other).c_str());
    CHECK(holder != nullptr && ::GetLastError() != ERROR_ALREADY_EXISTS);
    Win32InstanceGuard late;
    CHECK(late.Create(other) == IInstanceGuard::Result::AlreadyExists);
    if (holder) ::CloseHandle(holder);
  }
  // A name that could not be made at all (the global one without the right
  // to it) stops nothing: the other answer stands. The combinations of
  // Created and AlreadyExists are the real mutexes' above.
  using G = IInstanceGuard::Result;
  CHECK(combineGuardResults(G::Error, G::Created) == G::Created);
  CHECK(combineGuardResults(G::Created, G::Error) == G::Created);
  CHECK(combineGuardResults(G::Error, G::AlreadyExists) == G::AlreadyExists);
  CHECK(combineGuardResults(G::Error, G::Error) == G::Error);
}

// QuickEdit in the console of standard input: switched off while a
// Win32Console lives, the mode found restored when it ends. Prints the
// three input modes in hexadecimal (before, during, after).
int quickEdit() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(input, &mode)) {
    std::printf("no console\n");
    return 0;
  }
  ::SetConsoleMode(input, mode | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS);
  DWORD before = 0;
  DWORD during = 0;
  DWORD after = 0;
  ::GetConsoleMode(input, &before);
  {
    Win32Console console;
    ::GetConsoleMode(input, &during);
  }
  ::GetConsoleMode(input, &after);
  // Colons, not spaces: Wine draws a console's spaces as cursor moves.
  std::printf("quickedit:%lX:%lX:%lX\n", static_cast<unsigned long>(before),
              static_cast<unsigned long>(during), static_cast<unsigned long>(after));
  ::SetConsoleMode(input, mode | ENABLE_EXTENDED_FLAGS);
  return 0;
}

// The tool's own count of cameras through the real enumeration, with the
// reasons it noted (kind number and status).
int countCameras() {
  std::unique_ptr<HostPlatform> host = createHostPlatform();
  const Platform platform = host->platform();
  runNotes().clear();
  std::int32_t count = -1;
  const std::int32_t result = CountCameras(platform, count);
  std::printf("count %d %d\n", static_cast<int>(result), static_cast<int>(count));
  for (const FailureNote& note : runNotes().notes()) {
    std::printf("note %d %08lX\n", static_cast<int>(note.kind),
                static_cast<unsigned long>(note.status.value_or(0)));
  }
  return 0;
}

// Idle sleep held off for the write: a whole update on the simulator with
// the real guard, the thread's execution state asked at every request
// (asked with no flag, the call returns the state and leaves a continuous
// one as it is). It is "system required, continuous" from before download
// mode is entered until after it is left, nothing but "continuous" before
// and after, when the update passes and when it fails.
class StateAtRequests final : public sim::RequestObserver {
 public:
  std::string held;  // per request: '1' while held off
  void requestStarted() override {
    held.push_back(::SetThreadExecutionState(0) == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) ? '1'
                                                                                        : '0');
  }
  void requestFinished() override {}
};
class QuietConsole final : public IConsole {
 public:
  std::string err;
  void WriteWide(std::wstring_view) override {}
  void WriteNarrow(std::string_view) override {}
  void WriteError(std::string_view text) override { err.append(text); }
  bool ErrorIsTerminal() override { return false; }
};
class FreeInstanceGuard final : public IInstanceGuard {
  Result Create(std::wstring_view) override { return Result::Created; }
};

void checkSleepHeldForTheWrite() {
  for (const bool fails : {false, true}) {
    ::SetThreadExecutionState(ES_CONTINUOUS);  // nothing held when the run starts
    const std::string scene =
        std::string(
            R"({"cameras": [{"device_path": "\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global")") +
        (fails ? R"(, "faults": [{"checksum_xor": 1}])" : "") +
        R"(}], "image_devices": [{"instance_id": "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&0000", "hardware_ids": ["USB\\VID_04F2&PID_B5BD&REV_0100"], "address": 3, "grandparent_id": "USB\\ROOT_HUB30\\4&2E1B7C0&0&0"}]})";
    std::string error;
    const std::unique_ptr<sim::SimSession> session =
        sim::SimSession::OpenText(scene, ".", "scene.json", error);
    if (!CHECK(session != nullptr)) continue;
    StateAtRequests states;
    session->setRequestObserver(&states);
    Win32FileSystem files;
    Win32Resources resources;
    Win32Profile profile;
    FreeInstanceGuard instance;
    QuietConsole console;
    const Platform platform{session->cameras(), session->registry(),
                            session->clock(),   files,
                            resources,          profile,
                            instance,           console};
    Win32WriteGuard guard;
    setWriteGuard(&guard);
    const int code = CFrontEnd(platform).Run(std::vector<std::wstring>{});
    setWriteGuard(nullptr);
    CHECK(code == (fails ? 1 : 0));
    CHECK(::SetThreadExecutionState(0) == ES_CONTINUOUS);
    CHECK(console.err.find("idle sleep") == std::string::npos);
    // One window of requests, and the download-mode requests in it.
    const std::size_t from = states.held.find('1');
    const std::size_t to = states.held.find('0', from);
    CHECK(from != std::string::npos && from > 0);
    CHECK(to == std::string::npos || states.held.find('1', to) == std::string::npos);
    std::size_t request = 0;
    int downloadModeRequests = 0;
    for (const std::string& line : session->traceLines()) {
      if (line.empty() || line[0] < '0' || line[0] > '9') continue;
      if (line.rfind("0 SET 9 ", 0) == 0) {
        ++downloadModeRequests;
        CHECK(request < states.held.size() && states.held[request] == '1');
      }
      ++request;
    }
    CHECK(downloadModeRequests >= 2 && request == states.held.size());
  }
}

// A machine (prefix) without cameras: the category is empty, the Image
// class has no present device.
void checkEmptyCameraStack() {
  Win32CameraStack cameras;
  cameras.CoUninitialize();  // nothing to balance: must not reach the system
  CHECK(succeeded(cameras.CoInitialize()));
  std::unique_ptr<IMonikerEnum> monikers;
  const HResult result = cameras.CreateVideoInputEnum(monikers);
  CHECK(result == hr::False);
  CHECK(monikers == nullptr);
  cameras.CoUninitialize();

  Win32DeviceRegistry registry;
  const std::unique_ptr<IImageDeviceList> lists[] = {registry.OpenPresentImageDevices(),
                                                     registry.OpenPresentCameraDevices()};
  for (const auto& list : lists) {
    CHECK(list != nullptr);
    if (list) {
      DevInst node = 0;
      std::uint32_t lastError = 0;
      CHECK(!list->EnumDeviceInfo(0, node, lastError));
      CHECK(lastError == 0 || lastError == win32err::NoMoreItems);
    }
  }
}

// The images in another program's resources (the tool's), loaded as data.
void checkResourcesOf(const std::wstring& program) {
  HMODULE module = ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  CHECK(module != nullptr);
  if (!module) return;
  for (const auto& image : firmware::EmbeddedImages()) {
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(image.id), L"BINARY");
    CHECK(info != nullptr);
    if (!info) continue;
    HGLOBAL loaded = ::LoadResource(module, info);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    CHECK(bytes != nullptr);
    CHECK(::SizeofResource(module, info) == firmware::kEmbeddedImageSize);
    CHECK(bytes && ::SizeofResource(module, info) == image.size &&
          std::memcmp(bytes, image.data, image.size) == 0);
  }
  CHECK(::FindResourceW(module, MAKEINTRESOURCEW(103), L"BINARY") == nullptr);
  ::FreeLibrary(module);
}

// Lists the video input devices through the real enumeration, one line per
// device: the results of BindToStorage, of the "DevicePath" read (into a
// cleared 260-byte buffer, at most 256 bytes) and of BindToObject, the
// length of the text and the text. Ends with the enumeration's result.
int listVideoInputs() {
  Win32CameraStack cameras;
  cameras.CoInitialize();
  std::unique_ptr<IMonikerEnum> monikers;
  const HResult created = cameras.CreateVideoInputEnum(monikers);
  if (monikers) {
    monikers->Reset();
    std::unique_ptr<IDeviceMoniker> moniker;
    while (monikers->Next(moniker) == hr::Ok) {
      std::unique_ptr<IPropertyBag> bag;
      const HResult bound = moniker->BindToStorage(bag);
      char path[260] = {};
      const HResult read = bag ? bag->ReadDevicePath(path, 256) : hr::Fail;
      std::unique_ptr<ICaptureFilter> filter;
      const HResult object = moniker->BindToObject(filter);
      const std::size_t length = strnlen(path, sizeof path);
      std::printf("%08lX %08lX %08lX %u %.*s\n", static_cast<unsigned long>(bound),
                  static_cast<unsigned long>(read), static_cast<unsigned long>(object),
                  static_cast<unsigned>(length), static_cast<int>(length), path);
      moniker.reset();
    }
  }
  monikers.reset();
  cameras.CoUninitialize();
  std::printf("enumeration %08lX\n", static_cast<unsigned long>(created));
  return 0;
}

// Lists the present Image-class (or Camera-class) devices through SetupAPI and the
// configuration manager, as the USB identity lookup reads them: per device
// its instance ID, the first hardware ID, the address property and whether
// its parent can be found; then the last error that ended the list.
int listImageDevices(bool cameraClass) {
  Win32DeviceRegistry registry;
  auto list =
      cameraClass ? registry.OpenPresentCameraDevices() : registry.OpenPresentImageDevices();
  if (!list) {
    std::printf("no list\n");
    return 0;
  }
  DevInst node = 0;
  std::uint32_t lastError = 0;
  std::uint32_t index = 0;
  for (; list->EnumDeviceInfo(index, node, lastError); ++index) {
    char id[260];
    std::printf("device %s\n", list->GetDeviceId(node, id, sizeof id) ? id : "?");
    for (auto property : {DeviceRegistryProperty::HardwareId, DeviceRegistryProperty::Address}) {
      const char* name = property == DeviceRegistryProperty::HardwareId ? "hardware-id" : "address";
      std::uint32_t required = 0;
      std::uint32_t error = 0;
      if (list->GetRegistryProperty(node, property, nullptr, 0, required, error) ||
          error != win32err::InsufficientBuffer) {
        std::printf("%s error %lu\n", name, static_cast<unsigned long>(error));
        continue;
      }
      std::vector<std::uint8_t> data(required + 1, 0);
      const std::uint32_t size = required;
      if (!list->GetRegistryProperty(node, property, data.data(), size, required, error)) {
        std::printf("%s error %lu after asking for %lu bytes\n", name,
                    static_cast<unsigned long>(error), static_cast<unsigned long>(size));
      } else if (property == DeviceRegistryProperty::HardwareId) {
        std::printf("%s %s\n", name, reinterpret_cast<const char*>(data.data()));
      } else {
        std::printf("%s %u\n", name, data[0]);
      }
    }
    DevInst parent = 0;
    std::printf("parent %s\n", list->GetParent(node, parent) ? "found" : "not found");
  }
  std::printf("end %lu\n", static_cast<unsigned long>(lastError));
  return 0;
}

// The environment read as wide text: a name outside every code page comes
// back unchanged, an empty value as an empty path, a missing one as none,
// and a value longer than MAX_PATH whole.
void checkEnvironmentPath() {
  const std::wstring scene = L"C:\\Z\u00FCrich_\u30AB\u30E1\u30E9\\scene.json";
  CHECK(::SetEnvironmentVariableW(L"QV_CHECK_PATH", scene.c_str()));
  const std::optional<std::filesystem::path> read = qv::environmentPath("QV_CHECK_PATH");
  CHECK(read.has_value() && read->native() == scene);
  const std::wstring longValue = L"C:\\" + std::wstring(400, L'\u00E9');
  CHECK(::SetEnvironmentVariableW(L"QV_CHECK_PATH", longValue.c_str()));
  const std::optional<std::filesystem::path> longRead = qv::environmentPath("QV_CHECK_PATH");
  CHECK(longRead.has_value() && longRead->native() == longValue);
  CHECK(::SetEnvironmentVariableW(L"QV_CHECK_PATH", L""));
  const std::optional<std::filesystem::path> empty = qv::environmentPath("QV_CHECK_PATH");
  CHECK(empty.has_value() && empty->empty());
  CHECK(::SetEnvironmentVariableW(L"QV_CHECK_PATH", nullptr));
  CHECK(!qv::environmentPath("QV_CHECK_PATH").has_value());
}

// The arguments after "--arguments", one line each, as UTF-16 code units in
// hexadecimal: what the tool compares with its switches.
int printArguments(int argc, char** argv) {
  const std::vector<std::wstring> args = qv::commandLineArguments(argc, argv);
  for (std::size_t i = 1; i < args.size(); ++i) {
    for (std::size_t j = 0; j < args[i].size(); ++j) {
      std::printf("%s%04X", j == 0 ? "" : " ", static_cast<unsigned>(args[i][j]));
    }
    std::printf("\n");
  }
  return 0;
}

}  // namespace
}  // namespace qv::win32

int main(int argc, char** argv) {
  using namespace qv::win32;
  if (argc == 2 && std::strcmp(argv[1], "--executable-path") == 0) {
    std::wstring self;
    if (!Win32FileSystem().ExecutablePath(self)) {
      std::printf("refused\n");
    } else {
      std::printf("%u\n", static_cast<unsigned>(self.size()));
    }
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--arguments") == 0) return printArguments(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "--error-is-terminal") == 0) {
    // The console's own answer, for the caller that chose where standard
    // error goes.
    std::printf("%s\n", Win32Console().ErrorIsTerminal() ? "terminal" : "not a terminal");
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--list-video-inputs") == 0) return listVideoInputs();
  if (argc == 2 && std::strcmp(argv[1], "--list-image-devices") == 0)
    return listImageDevices(false);
  if (argc == 2 && std::strcmp(argv[1], "--list-camera-devices") == 0)
    return listImageDevices(true);
  if (argc == 2 && std::strcmp(argv[1], "--quickedit") == 0) return quickEdit();
  if (argc == 2 && std::strcmp(argv[1], "--count-cameras") == 0) return countCameras();
  if (argc == 3 && std::strcmp(argv[1], "--resources-of") == 0) {
    std::wstring program;
    for (const char* p = argv[2]; *p; ++p) program.push_back(static_cast<unsigned char>(*p));
    checkResourcesOf(program);
    return qv::wine_checks::summary("resources");
  }
  const bool withCameras = argc > 1 && std::strcmp(argv[1], "--prefix-has-devices") == 0;
  const std::wstring dir = scratchDir();
  checkErrorTranslations();
  checkGuids();
  checkKspNode();
  checkConsoleBytes();
  checkFiles(dir);
  checkInstalledCopyFiles(dir);
  checkProfile(dir);
  checkResources();
  checkClockAndGuard();
  checkEnvironmentPath();
  checkSleepHeldForTheWrite();
  if (!withCameras) checkEmptyCameraStack();
  return qv::wine_checks::summary("win32_checks");
}
