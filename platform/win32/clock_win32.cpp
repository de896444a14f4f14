// Time: Sleep and the performance counter (monotonic).
#include <windows.h>

#include "platform/win32/win32_services.h"

namespace qv::win32 {

Win32Clock::Win32Clock() {
  LARGE_INTEGER f{};
  // Never fails on Windows XP and later; a zero would only stop the clock.
  if (::QueryPerformanceFrequency(&f) && f.QuadPart > 0) {
    frequency_ = static_cast<std::uint64_t>(f.QuadPart);
  }
}

void Win32Clock::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint64_t Win32Clock::NowMicroseconds() {
  LARGE_INTEGER now{};
  if (frequency_ == 0 || !::QueryPerformanceCounter(&now)) return 0;
  const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
  // Whole seconds and the remainder apart, so the product cannot overflow.
  return ticks / frequency_ * 1000000u + ticks % frequency_ * 1000000u / frequency_;
}

}  // namespace qv::win32
