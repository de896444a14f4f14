#include "platform/linux/linux_console.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/wide_text.h"

namespace qv::linux_host {
namespace {

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      // A closed pipe (EPIPE: SIGPIPE is ignored) or a console that is gone:
      // the run goes on without its output.
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void LinuxConsole::WriteWide(std::wstring_view text) {
  std::string utf8;
  if (!WideToUtf8(text, utf8)) {
    // A character without a UTF-8 form is shown as '?', the rest as it is.
    utf8.clear();
    for (wchar_t c : text) {
      std::string one;
      utf8 += WideToUtf8(std::wstring_view(&c, 1), one) ? one : std::string("?");
    }
  }
  WriteAll(out_, utf8);
}

void LinuxConsole::WriteNarrow(std::string_view text) { WriteAll(out_, text); }

void LinuxConsole::WriteError(std::string_view text) { WriteAll(err_, text); }

bool LinuxConsole::ErrorIsTerminal() { return ::isatty(err_) == 1; }

bool LinuxConsole::OutputIsTerminal() { return ::isatty(out_) == 1; }

bool LinuxConsole::ErrorSharesOutput() {
  // "2>&1" makes both descriptors one open file: the same file, pipe or
  // terminal, whose device and inode the two share.
  struct stat out {};
  struct stat err {};
  if (::fstat(out_, &out) != 0 || ::fstat(err_, &err) != 0) return false;
  return out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

unsigned LinuxConsole::ErrorColumns() {
  winsize size{};
  if (::ioctl(err_, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

}  // namespace qv::linux_host
