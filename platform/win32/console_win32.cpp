// The console. Wide and narrow text both become bytes written through the
// one C runtime stream of standard output, in binary mode, so the order is
// kept and the bytes (line ends included) equal those of every other build.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/utf8.h"
#include "platform/win32/win32_services.h"

namespace qv::win32 {

std::string consoleBytes(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t c = wideCodePoint(text, i);
    if (c == 0 || !isScalarValue(c)) {
      out.push_back('?');  // no text form (a NUL, a lone surrogate): as on other builds
    } else {
      appendUtf8(out, c);
    }
  }
  return out;
}

namespace {

void writeBytes(std::FILE* stream, std::string_view bytes) {
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stream);
  // Flushed at once: a script reading the output sees each message as it is
  // printed, and standard error cannot overtake standard output.
  std::fflush(stream);
  // A write that failed (a pipe whose reader has gone, a console closed) is
  // not the run's business: the update goes on, and the stream's error state
  // must not swallow what later writes could still deliver.
  std::clearerr(stream);
}

bool isConsole(DWORD which) {
  const HANDLE handle = ::GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  if (::GetFileType(handle) != FILE_TYPE_CHAR) return false;
  DWORD mode = 0;
  return ::GetConsoleMode(handle, &mode) != 0;
}

// The console input mode found at start while QuickEdit is switched off for
// the run (0: nothing to restore). Process-wide, as the console is: the
// control handler restores it too when Ctrl+C or closing the window ends
// the process.
std::atomic<DWORD> g_savedInputMode{0};

void restoreInputMode() {
  const DWORD saved = g_savedInputMode.exchange(0);
  if (saved != 0) ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), saved);
}

BOOL WINAPI restoreOnControlEvent(DWORD) {
  restoreInputMode();
  return FALSE;  // the default handling (ending the process) goes on
}

}  // namespace

Win32Console::Win32Console() {
  // Binary mode: "\n" stays one byte, as on every other build.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);

  // In a console with QuickEdit on, one mouse click starts a selection and
  // suspends output: the next write (the progress bar) would then block the
  // thread that drives the camera, in the middle of a download, until a key
  // is pressed. QuickEdit is off for the run and restored at its end.
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input != nullptr && input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode) &&
      (mode & ENABLE_QUICK_EDIT_MODE) != 0) {
    // The QuickEdit bit is only taken with ENABLE_EXTENDED_FLAGS.
    const DWORD saved = mode | ENABLE_EXTENDED_FLAGS;
    if (::SetConsoleMode(input, (mode & ~ENABLE_QUICK_EDIT_MODE) | ENABLE_EXTENDED_FLAGS)) {
      DWORD expected = 0;
      if (g_savedInputMode.compare_exchange_strong(expected, saved)) {
        ::SetConsoleCtrlHandler(restoreOnControlEvent, TRUE);
        restoresInput_ = true;
      }
    }
  }
}

Win32Console::~Win32Console() {
  if (!restoresInput_) return;
  restoreInputMode();
  ::SetConsoleCtrlHandler(restoreOnControlEvent, FALSE);
}

void Win32Console::WriteWide(std::wstring_view text) { writeBytes(stdout, consoleBytes(text)); }

void Win32Console::WriteNarrow(std::string_view text) { writeBytes(stdout, text); }

void Win32Console::WriteError(std::string_view text) { writeBytes(stderr, text); }

bool Win32Console::ErrorIsTerminal() {
  // A console is a character device that answers GetConsoleMode; a file, a
  // pipe or the NUL device (also a character device) does not.
  return isConsole(STD_ERROR_HANDLE);
}

bool Win32Console::OutputIsTerminal() { return isConsole(STD_OUTPUT_HANDLE); }

bool Win32Console::ErrorSharesOutput() {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || err == nullptr ||
      err == INVALID_HANDLE_VALUE)
    return false;
  if (out == err) return true;
  // "2>&1" duplicates one handle into the other: two handles of one kernel
  // object, which CompareObjectHandles (Windows 10 and later) tells; a file
  // shared by both is also told by its volume and file index.
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  const HMODULE kernel = ::GetModuleHandleW(L"kernelbase.dll");
  const auto compare = kernel != nullptr ? reinterpret_cast<Compare>(reinterpret_cast<void*>(
                                               ::GetProcAddress(kernel, "CompareObjectHandles")))
                                         : nullptr;
  if (compare != nullptr && compare(out, err) != FALSE) return true;
  // Two handles opened on one file (a shell that opened it for each stream)
  // are two objects: their file tells.
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  if (!::GetFileInformationByHandle(out, &a) || !::GetFileInformationByHandle(err, &b))
    return false;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

unsigned Win32Console::ErrorColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<unsigned>(columns) : 0;
}

}  // namespace qv::win32
