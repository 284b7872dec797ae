#include "ui/window_placement.h"

#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

// One "%d" or "%u" conversion: white space, an optional sign, at least one digit.
bool ScanNumber(const std::string& text, size_t& i, int64_t& value) {
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  size_t start = i;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude < (int64_t{1} << 40))
      magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (i == start)
    return false;
  value = negative ? -magnitude : magnitude;
  return true;
}

int ClampInt(int64_t value) {
  if (value > std::numeric_limits<int>::max())
    return std::numeric_limits<int>::max();
  if (value < std::numeric_limits<int>::min())
    return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

unsigned ClampUnsigned(int64_t value) {
  // "%u" takes a minus sign and wraps the number, as the C library does.
  if (value > std::numeric_limits<unsigned>::max())
    return std::numeric_limits<unsigned>::max();
  if (value < -int64_t{std::numeric_limits<unsigned>::max()})
    return 0;
  return static_cast<unsigned>(value);
}

}  // namespace

std::optional<WindowPlacement> ParseWindowPlacement(const std::string& text) {
  int64_t numbers[10];
  size_t i = 0;
  for (int n = 0; n < 10; ++n) {
    if (n > 0) {
      if (i >= text.size() || text[i] != ',')
        return std::nullopt;
      ++i;
    }
    if (!ScanNumber(text, i, numbers[n]))
      return std::nullopt;
  }
  WindowPlacement placement;
  placement.flags = ClampUnsigned(numbers[0]);
  placement.showCmd = ClampUnsigned(numbers[1]);
  int* fields[] = {&placement.minX, &placement.minY, &placement.maxX,  &placement.maxY,
                   &placement.left, &placement.top,  &placement.right, &placement.bottom};
  for (int n = 0; n < 8; ++n)
    *fields[n] = ClampInt(numbers[n + 2]);
  return placement;
}

std::string FormatWindowPlacement(const WindowPlacement& p) {
  char text[160];
  std::snprintf(text, sizeof text, "%u,%u,%d,%d,%d,%d,%d,%d,%d,%d", p.flags, p.showCmd, p.minX,
                p.minY, p.maxX, p.maxY, p.left, p.top, p.right, p.bottom);
  return text;
}
