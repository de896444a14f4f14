#pragma once
// The console on Linux. Wide and narrow text both go to standard output
// through one unbuffered writer (write(2) on descriptor 1), so they appear in
// the order written and nothing is held back in a stdio buffer; wide text is
// written as UTF-8 (the program's messages are ASCII, which it leaves
// byte for byte). Standard error the same way on descriptor 2.

#include "platform/os_services.h"

namespace qv::linux_host {

class LinuxConsole : public IConsole {
 public:
  LinuxConsole() = default;
  // For tests: write to other descriptors.
  LinuxConsole(int outFd, int errFd) : out_(outFd), err_(errFd) {}

  void WriteWide(std::wstring_view text) override;
  void WriteNarrow(std::string_view text) override;
  void WriteError(std::string_view text) override;
  bool ErrorIsTerminal() override;
  bool OutputIsTerminal() override;
  unsigned ErrorColumns() override;
  bool ErrorSharesOutput() override;

 private:
  int out_ = 1;
  int err_ = 2;
};

}  // namespace qv::linux_host
