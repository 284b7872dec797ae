// The stored window-placement text: read it, write it back, read that again.
#include <string>

#include "ui/window_placement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto placement = ParseWindowPlacement(text);
  if (!placement)
    return 0;
  auto again = ParseWindowPlacement(FormatWindowPlacement(*placement));
  if (!again || FormatWindowPlacement(*again) != FormatWindowPlacement(*placement))
    __builtin_trap();
  return 0;
}
