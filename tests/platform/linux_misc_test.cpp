// The remaining Linux services: resources, the camera stack and registry of a
// system without cameras, text conversion, the clock.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
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
  std::set<std::vector<std::uint8_t>> images;
  for (int id : {102, 104, 105, 106}) {
    const auto image = resources.FindBinary(id);
    ASSERT_EQ(image.size(), 32786u) << id;
    EXPECT_EQ(std::memcmp(image.data() + 32768, trailer, sizeof trailer), 0) << id;
    images.emplace(image.begin(), image.begin() + 32768);
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

TEST(LinuxClock, SleepsAndNeverRunsBackwards) {
  LinuxClock clock;
  const std::uint64_t before = clock.NowMicroseconds();
  clock.Sleep(0);
  clock.Sleep(1);
  EXPECT_GE(clock.NowMicroseconds(), before);
}

}  // namespace
}  // namespace qv::linux_host
