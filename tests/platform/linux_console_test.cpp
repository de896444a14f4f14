// The console: wide and narrow text reach standard output in order, as the
// exact bytes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/linux/linux_console.h"

namespace qv::linux_host {
namespace {

std::string Drain(int fd) {
  std::string out;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

TEST(LinuxConsole, WideAndNarrowInterleaveInOrderOnStandardOutput) {
  int out[2];
  int err[2];
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    LinuxConsole console;  // descriptors 1 and 2
    console.WriteWide(L"Checking, Please wiat...\n");
    console.WriteNarrow("Transfer data\n");
    console.WriteWide(L"Flash : GD25Q512\n");
    console.WriteError("scene: bad\n");
    console.WriteNarrow("Checksum fail 0x1 != 0x2\n");
    console.WriteWide(L"Fail");
    ::_exit(0);  // no stdio flush: nothing may depend on one
  }
  ::close(out[1]);
  ::close(err[1]);
  const std::string stdoutText = Drain(out[0]);
  const std::string stderrText = Drain(err[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(stdoutText,
            "Checking, Please wiat...\nTransfer data\nFlash : GD25Q512\n"
            "Checksum fail 0x1 != 0x2\nFail");
  EXPECT_EQ(stderrText, "scene: bad\n");
}

TEST(LinuxConsole, WideTextBeyondAsciiIsUtf8) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  {
    LinuxConsole console(out[1], out[1]);
    console.WriteWide(L"\u00e9\u20ac");
    console.WriteWide(std::wstring(L"a") + wchar_t(0xD800) + L"b");  // no UTF-8 form
    console.WriteNarrow(std::string("\x00\xFF", 2));                 // bytes as given
  }
  ::close(out[1]);
  EXPECT_EQ(Drain(out[0]), std::string("\xC3\xA9\xE2\x82\xAC"
                                       "a?b\x00\xFF",
                                       10));
  ::close(out[0]);
}

}  // namespace
}  // namespace qv::linux_host
