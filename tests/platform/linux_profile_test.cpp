// The INI profile read: GetPrivateProfileStringA's rules on text and files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/linux/linux_profile.h"

namespace qv::linux_host {
namespace {

std::string Lookup(std::string_view text, std::string_view section, std::string_view key,
                   std::string_view defaultValue = "0", std::uint32_t size = 10,
                   std::uint32_t* copied = nullptr) {
  char buffer[64];
  std::memset(buffer, 'X', sizeof buffer);
  const std::uint32_t n = ReadProfileStringFromText(text, section, key, defaultValue, buffer, size);
  if (copied != nullptr) *copied = n;
  EXPECT_EQ(buffer[n], '\0');
  EXPECT_EQ(std::strlen(buffer), n);
  return std::string(buffer, n);
}

TEST(LinuxProfile, FindsValueWithoutRegardToCaseAndBlanks) {
  EXPECT_EQ(Lookup("[SETTING]\nGPIO=1\n", "SETTING", "GPIO"), "1");
  EXPECT_EQ(Lookup("[setting]\ngpio=1\n", "SETTING", "GPIO"), "1");
  EXPECT_EQ(Lookup("  [ Setting ]  \r\n  Gpio   =   1  \r\n", "SETTING", "GPIO"), "1");
  EXPECT_EQ(Lookup("[SETTING]\nGPIO=\t 1abc \t\n", "SETTING", "GPIO"), "1abc");
  EXPECT_EQ(Lookup("[SETTING]\nGPIO=1", "SETTING", "GPIO"), "1");  // no final line end
  EXPECT_EQ(Lookup("\xEF\xBB\xBF[SETTING]\nGPIO=1\n", "SETTING", "GPIO"), "1");
}

TEST(LinuxProfile, ValueIsTextAfterFirstEqualsWithQuotesDropped) {
  EXPECT_EQ(Lookup("[S]\nK=a=b\n", "S", "K"), "a=b");
  EXPECT_EQ(Lookup("[S]\nK=\"1\"\n", "S", "K"), "1");
  EXPECT_EQ(Lookup("[S]\nK='1'\n", "S", "K"), "1");
  EXPECT_EQ(Lookup("[S]\nK=\"1\n", "S", "K"), "\"1");            // unpaired quote stays
  EXPECT_EQ(Lookup("[S]\nK=1 ; note\n", "S", "K"), "1 ; note");  // no inline comments
  EXPECT_EQ(Lookup("[S]\nK=\n", "S", "K", "dflt"), "");  // present but empty: not the default
}

TEST(LinuxProfile, DefaultWhenFileSectionOrKeyIsMissing) {
  EXPECT_EQ(Lookup("", "SETTING", "GPIO"), "0");
  EXPECT_EQ(Lookup("[OTHER]\nGPIO=1\n", "SETTING", "GPIO"), "0");
  EXPECT_EQ(Lookup("[SETTING]\nGPIO2=1\nXGPIO=1\n", "SETTING", "GPIO"), "0");
  EXPECT_EQ(Lookup("GPIO=1\n[SETTING]\n", "SETTING", "GPIO"), "0");  // before any section
  EXPECT_EQ(Lookup("[SETTING]\n;GPIO=1\nGPIO\n", "SETTING", "GPIO"), "0");
  EXPECT_EQ(Lookup("[SETTING]\nGPIO=1\n", "SETTING", "GPIO", "dflt  "), "1");
  EXPECT_EQ(Lookup("", "SETTING", "GPIO", "dflt  "), "dflt");  // trailing blanks dropped
}

TEST(LinuxProfile, FirstSectionAndFirstKeyCount) {
  EXPECT_EQ(Lookup("[SETTING]\nGPIO=1\nGPIO=2\n", "SETTING", "GPIO"), "1");
  EXPECT_EQ(Lookup("[OTHER]\nGPIO=3\n[SETTING]\nGPIO=2\n", "SETTING", "GPIO"), "2");
  EXPECT_EQ(Lookup("[SETTING]\nX=1\n[OTHER]\nGPIO=3\n[SETTING]\nGPIO=2\n", "SETTING", "GPIO"), "0");
}

TEST(LinuxProfile, TruncatesToSizeMinusOne) {
  std::uint32_t copied = 0;
  EXPECT_EQ(Lookup("[S]\nK=0123456789ABC\n", "S", "K", "0", 10, &copied), "012345678");
  EXPECT_EQ(copied, 9u);
  EXPECT_EQ(Lookup("[S]\nK=0123456789ABC\n", "S", "K", "0", 1, &copied), "");
  EXPECT_EQ(copied, 0u);
  EXPECT_EQ(Lookup("", "S", "K", "defaultvalue", 4, &copied), "def");
  // Size 0: nothing is written at all.
  char untouched = 'X';
  EXPECT_EQ(ReadProfileStringFromText("[S]\nK=1\n", "S", "K", "0", &untouched, 0), 0u);
  EXPECT_EQ(untouched, 'X');
}

TEST(LinuxProfile, ReadsFileAtWidePath) {
  char dir[] = "/tmp/qvprofileXXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/setting.ini";
  std::ofstream(file) << "; settings\r\n[SETTING]\r\nGPIO = 1\r\n";
  LinuxProfile profile;
  char buffer[10];
  const std::wstring widePath(file.begin(), file.end());
  EXPECT_EQ(profile.ReadProfileString("SETTING", "GPIO", "0", buffer, 10, widePath), 1u);
  EXPECT_STREQ(buffer, "1");
  EXPECT_EQ(profile.ReadProfileString("SETTING", "GPIO", "0", buffer, 10, widePath + L".none"), 1u);
  EXPECT_STREQ(buffer, "0");
  std::remove(file.c_str());
  ::rmdir(dir);
}

}  // namespace
}  // namespace qv::linux_host
