// Arbitrary link texts and page directories: Push must end, and every accepted link with a
// relative part must map to a local path under the mirror directory.
#include <cstdlib>
#include <string>

#include "crawl/rules/mirror_paths.h"
#include "crawl/run/link_stack.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SilentDialog dialog;
  std::string input(reinterpret_cast<const char*>(data), size);
  // Lines: the first is the page directory, the rest are links found on it.
  size_t cut = input.find('\n');
  std::string page = cut == std::string::npos ? "http://host/dir/" : input.substr(0, cut);
  LinkStack stack("http://host/dir/");
  const std::string mirror = "/save/host/dir";
  size_t start = cut == std::string::npos ? 0 : cut + 1;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos)
      end = input.size();
    stack.Push(page, input.substr(start, end - start), 0);
    start = end + 1;
  }
  while (!stack.IsEmpty()) {
    std::string url = stack.Pop();
    std::string rel = stack.RelativePart(url);
    if (rel.empty())
      continue;
    std::string local = LocalPathOf(url, rel, mirror);
    if (!local.starts_with(mirror) || HasParentSegment(local))
      std::abort();
  }
  return 0;
}
