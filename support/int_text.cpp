#include "support/int_text.h"

#include <charconv>
#include <limits>

std::string IntToText(int32_t n) {
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
  return std::string(buffer, result.ptr);
}

int32_t TextToInt(std::string_view text) {
  size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && isSpace(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate as a negative number so that the most negative value fits.
  constexpr int64_t kLow = std::numeric_limits<int32_t>::min();
  constexpr int64_t kHigh = std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kHigh + 1)
      value = kHigh + 1;
  }
  if (negative)
    return static_cast<int32_t>(-value < kLow ? kLow : -value);
  return static_cast<int32_t>(value > kHigh ? kHigh : value);
}
