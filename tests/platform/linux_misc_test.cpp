// The remaining Linux services: resources, the camera stack and registry of a
// system without cameras, text conversion, the clock.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/linux_camera_stack.h"
#include "platform/linux/linux_clock.h"
#include "platform/linux/linux_device_registry.h"
#include "platform/linux/linux_resources.h"
#include "platform/linux/wide_text.h"
#include "temp_dir.h"

namespace qv::linux_host {
namespace {

TEST(LinuxResources, CarriesFourDistinctImagesWithTheTrailer) {
  LinuxResources resources;
  const std::uint8_t trailer[18] = {0x00, 0x10, 0x10, 0x03, 'Q', 0,   'u', 0,   'o',
                                    0,    'r',  0,    'v',  0,   'e', 0,   'l', 0};
  // The images' bytes as text: GCC 12 at -O3 misreads the bounds of a set
  // of byte vectors (-Wstringop-overread).
  std::set<std::string> images;
  for (int id : {102, 104, 105, 106}) {
    const auto image = resources.FindBinary(id);
    ASSERT_EQ(image.size(), 32786u) << id;
    EXPECT_EQ(std::memcmp(image.data() + 32768, trailer, sizeof trailer), 0) << id;
    images.emplace(reinterpret_cast<const char*>(image.data()), 32768);
  }
  EXPECT_EQ(images.size(), 4u);
  EXPECT_TRUE(resources.FindBinary(103).empty());
  EXPECT_TRUE(resources.FindBinary(0).empty());
}

// A system without video4linux nodes and without uvcvideo: an empty folder
// stands for /sys and /dev.
class SilentConsole : public IConsole {
 public:
  void WriteWide(std::wstring_view) override {}
  void WriteNarrow(std::string_view) override {}
  void WriteError(std::string_view) override {}
  bool ErrorIsTerminal() override { return false; }
};

TEST(LinuxCameraStack, FindsNoCamera) {
  testing::TempDir dir;
  SystemKernelIo io;
  SilentConsole console;
  LinuxCameraStack stack(io, KernelRoots{dir.file("sys"), dir.file("dev")}, console);
  EXPECT_EQ(stack.CoInitialize(), hr::Ok);
  std::unique_ptr<IMonikerEnum> monikers;
  EXPECT_EQ(stack.CreateVideoInputEnum(monikers), hr::False);
  EXPECT_EQ(monikers, nullptr);
  stack.CoUninitialize();
}

TEST(LinuxDeviceRegistry, ListsNoDevice) {
  testing::TempDir dir;
  SystemKernelIo io;
  LinuxDeviceRegistry registry(io, KernelRoots{dir.file("sys"), dir.file("dev")});
  auto list = registry.OpenPresentImageDevices();
  ASSERT_NE(list, nullptr);
  DevInst node = 0;
  std::uint32_t lastError = 0;
  EXPECT_FALSE(list->EnumDeviceInfo(0, node, lastError));
  EXPECT_EQ(lastError, win32err::NoMoreItems);
}

TEST(WideText, RoundTripsAndRefusesWhatHasNoExactForm) {
  std::string utf8;
  std::wstring wide;
  ASSERT_TRUE(WideToUtf8(L"/opt/q\u00e9/\U0001F600", utf8));
  EXPECT_EQ(utf8, "/opt/q\xC3\xA9/\xF0\x9F\x98\x80");
  ASSERT_TRUE(Utf8ToWide(utf8, wide));
  EXPECT_EQ(wide, L"/opt/q\u00e9/\U0001F600");
  EXPECT_FALSE(WideToUtf8(std::wstring(1, wchar_t(0xDC00)), utf8));
  EXPECT_FALSE(WideToUtf8(std::wstring(1, wchar_t(0x110000)), utf8));
  EXPECT_FALSE(WideToUtf8(std::wstring(1, L'\0'), utf8));
  EXPECT_FALSE(Utf8ToWide("\xC0\xAF", wide));      // overlong '/'
  EXPECT_FALSE(Utf8ToWide("\xED\xA0\x80", wide));  // surrogate
  EXPECT_FALSE(Utf8ToWide("\xE2\x82", wide));      // cut short
  EXPECT_FALSE(Utf8ToWide("\x80", wide));
}

TEST(WideText, PathBytesRoundTripWhateverTheyAre) {
  // Bytes that are not UTF-8 (stray continuation, Latin-1, a cut-short
  // sequence, an encoded surrogate, an overlong '/') keep their value; valid
  // UTF-8 becomes its characters.
  const std::vector<std::pair<std::string, std::wstring>> table = {
      {"/usr/bin", L"/usr/bin"},
      {"/caf\xC3\xA9", L"/caf\u00e9"},
      {"/caf\xE9", std::wstring(L"/caf") + wchar_t(0xDCE9)},
      {"\x80", std::wstring(1, wchar_t(0xDC80))},
      {"\xE2\x82/", std::wstring{wchar_t(0xDCE2), wchar_t(0xDC82), L'/'}},
      {"\xED\xB2\x80", std::wstring{wchar_t(0xDCED), wchar_t(0xDCB2), wchar_t(0xDC80)}},
      {"\xC0\xAF", std::wstring{wchar_t(0xDCC0), wchar_t(0xDCAF)}},
  };
  for (const auto& [bytes, wide] : table) {
    EXPECT_EQ(PathToWide(bytes), wide) << bytes;
    std::string back;
    ASSERT_TRUE(WideToPath(wide, back));
    EXPECT_EQ(back, bytes);
  }
  std::string bytes;
  EXPECT_FALSE(WideToPath(std::wstring(1, wchar_t(0xDC00)), bytes));  // not an escaped byte
  EXPECT_FALSE(WideToPath(std::wstring(1, L'\0'), bytes));
}

TEST(LinuxClock, SleepsAndNeverRunsBackwards) {
  LinuxClock clock;
  const std::uint64_t before = clock.NowMicroseconds();
  clock.Sleep(0);
  clock.Sleep(1);
  EXPECT_GE(clock.NowMicroseconds(), before);
}

}  // namespace
}  // namespace qv::linux_host
