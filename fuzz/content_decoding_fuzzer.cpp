// Arbitrary compressed bodies: decoding must end, in time linear in what it hands on, and never
// hand on more than the reader takes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/content_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  // The first byte picks the codings, the second the size of the pieces the body comes in.
  static const std::vector<std::vector<std::string>> kCodings = {
      {"gzip"},
      {"br"},
      {"zstd"},
      {"gzip", "br"},
      {"zstd", "gzip"},
      {"gzip", "gzip"},
      {"br", "zstd", "gzip", "zstd", "br"}};
  const std::vector<std::string>& codings = kCodings[data[0] % kCodings.size()];
  const size_t piece = 1 + data[1] * 37u;
  std::unique_ptr<ContentDecoder> decoder = ContentDecoder::For(codings);
  constexpr size_t kMost = 4 << 20;
  size_t handed = 0;
  const char* body = reinterpret_cast<const char*>(data + 2);
  const size_t length = size - 2;
  for (size_t at = 0; at < length; at += piece) {
    const size_t n = std::min(piece, length - at);
    const ContentDecoder::Result result =
        decoder->Push(body + at, n, [&](const char*, size_t decoded) {
          handed += decoded;
          return handed <= kMost;
        });
    if (result != ContentDecoder::Result::Ok)
      break;
  }
  if (handed > kMost + (64 << 10))
    std::abort();  // more was handed on after the reader refused
  (void)decoder->Finished();
  return 0;
}
