#include "support/compress.h"

#include <zlib.h>

namespace {

std::string Compressed(const std::string& text, int windowBits) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace

std::string Gzip(const std::string& text) {
  return Compressed(text, 15 + 16);
}

std::string Deflate(const std::string& text, bool bare) {
  return Compressed(text, bare ? -15 : 15);
}
