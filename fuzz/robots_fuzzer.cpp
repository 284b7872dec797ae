// Arbitrary robots.txt files and paths: reading and judging must end, in time, whatever the
// patterns.
#include <cstdint>
#include <string>

#include "crawl/rules/robots_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // The first line is the path asked about, the rest the file.
  const size_t cut = input.find('\n');
  const std::string path = cut == std::string::npos ? "/" : input.substr(0, cut);
  const std::string text = cut == std::string::npos ? input : input.substr(cut + 1);
  const RobotsRules rules = RobotsRules::Parse(text, "Kelvane");
  (void)rules.Allows(path.substr(0, 4096));
  (void)rules.Allows("/");
  return 0;
}
