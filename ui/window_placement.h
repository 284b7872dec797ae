#pragma once

#include <optional>
#include <string>

// The ten numbers of a stored window placement, as the text "%u,%u,%d,%d,%d,%d,%d,%d,%d,%d".
struct WindowPlacement {
  unsigned flags = 0;    // 2 when the window is to be restored maximised
  unsigned showCmd = 1;  // 1 normal, 2 minimised, 3 maximised
  int minX = -1, minY = -1, maxX = -1, maxY = -1;
  int left = 0, top = 0, right = 0, bottom = 0;  // the normal rectangle, frame included
};

// Reads the text the way sscanf reads that format: all ten numbers must be there; whatever
// follows the tenth is ignored. Numbers out of range clamp instead of overflowing.
std::optional<WindowPlacement> ParseWindowPlacement(const std::string& text);
std::string FormatWindowPlacement(const WindowPlacement& placement);
