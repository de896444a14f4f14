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

std::int64_t Win32Clock::UtcSeconds() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  // 100 ns ticks since 1601-01-01; 11644473600 s lie between 1601 and 1970.
  constexpr std::uint64_t kTicksPerSecond = 10'000'000;
  constexpr std::uint64_t kSeconds1601To1970 = 11'644'473'600;
  const std::uint64_t seconds = ticks / kTicksPerSecond;
  return seconds < kSeconds1601To1970 ? 0 : static_cast<std::int64_t>(seconds - kSeconds1601To1970);
}

}  // namespace qv::win32
