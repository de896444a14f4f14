// The decimal reading of profile values.
#include "flash/download_engine.h"

namespace qv {

namespace {

bool isProfileSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::int32_t ParseProfileInteger(const char* text) {
  if (text == nullptr) return 0;
  while (isProfileSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  std::int64_t value = 0;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + (*text - '0');
    // atoi's range; longer digit runs stay at the limit.
    if (value > 0x80000000LL) value = 0x80000000LL;
    ++text;
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  return static_cast<std::int32_t>(value);
}

}  // namespace qv
