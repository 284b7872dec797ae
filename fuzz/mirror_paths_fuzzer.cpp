// MirrorDirectory and AppendIndexName over arbitrary addresses and directories.
#include <string>

#include "crawl/rules/mirror_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\n');
  std::string url = input.substr(0, cut);
  std::string saveTo = cut == std::string::npos ? "/srv/Sites" : input.substr(cut + 1);
  std::string mirror = MirrorDirectory(url, saveTo);
  if (mirror.size() < saveTo.size())
    __builtin_trap();
  std::string target = url;
  AppendIndexName(url, target, "~index.htm");
  AppendIndexName(url, mirror, "");
  return 0;
}
