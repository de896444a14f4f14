#include "app/messages.h"

namespace qv::msg {

std::wstring Decimal(std::int32_t value) {
  // Through 64 bits so that the most negative value has a magnitude.
  std::int64_t v = value;
  const bool negative = v < 0;
  std::uint64_t magnitude =
      negative ? static_cast<std::uint64_t>(-v) : static_cast<std::uint64_t>(v);
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits.insert(digits.begin(), L'-');
  return digits;
}

std::wstring Hex4(std::uint16_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text(4, L'0');
  for (int i = 3; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value = static_cast<std::uint16_t>(value >> 4);
  }
  return text;
}

std::wstring DeviceInitFail(std::int32_t index) {
  return L"Device " + Decimal(index) + L" init fail \n";
}

std::wstring DeviceMatch(std::int32_t index, std::uint16_t vendor, std::uint16_t product) {
  return L"--> Device " + Decimal(index) + L" VID/PID (0x" + Hex4(vendor) + L"/0x" + Hex4(product) +
         L")\n";
}

std::wstring DeviceMismatch(std::int32_t index, std::uint16_t vendor, std::uint16_t product) {
  return L"Device " + Decimal(index) + L" VID/PID not match (0x" + Hex4(vendor) + L"/0x" +
         Hex4(product) + L")\n";
}

std::wstring UpdateResult(std::int32_t result) {
  return std::wstring(L"Update ") + (result == 0 ? L"Success" : L"Fail") + L"\n";
}

std::wstring FlashNameLine(std::wstring_view name) {
  return L"Flash : " + std::wstring(name) + L"\n";
}

}  // namespace qv::msg
