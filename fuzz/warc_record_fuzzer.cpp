// One exchange as the wire could bring it (an address and a peer with line breaks or NUL bytes,
// any request, any head, a body in pieces, chunked or not, whole or cut) written to an archive:
// the file reads back as exactly three whole records, each field on a line of its own and each
// block as long as its Content-Length says.
#include <unistd.h>
#include <zlib.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "crawl/archive/warc_writer.h"

namespace {

// Every gzip member of the file, inflated one after another.
std::string Inflated(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string packed = bytes.str();
  std::string out;
  size_t at = 0;
  while (at < packed.size()) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK)
      __builtin_trap();
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data() + at));
    z.avail_in = static_cast<uInt>(packed.size() - at);
    int result = Z_OK;
    char piece[1 << 16];
    while (result == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(piece);
      z.avail_out = sizeof piece;
      result = inflate(&z, Z_NO_FLUSH);
      out.append(piece, sizeof piece - z.avail_out);
    }
    if (result != Z_STREAM_END)
      __builtin_trap();  // a member that does not end: a torn record
    at = packed.size() - z.avail_in;
    inflateEnd(&z);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // Parts separated by the byte 0xFF: address, peer, request, head, then the body.
  auto part = [&input]() {
    const size_t end = input.find('\xff');
    const std::string_view piece = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    return std::string(piece);
  };
  const std::string url = part(), ip = part();
  // A transfer always sends a request before an answer can come.
  std::string request = part();
  if (request.empty())
    request = "GET / HTTP/1.1\r\n\r\n";
  const std::string head = part();
  const std::string_view body = input;
  static const std::string dir = [] {
    char name[] = "/tmp/warc-fuzz-XXXXXX";
    return std::string(mkdtemp(name) != nullptr ? name : "/tmp");
  }();
  ArchivePlan plan;
  plan.warcFile = dir + "/f";
  plan.commandLine = url;
  plan.dedup = !body.empty() && body[0] == 'd';
  std::remove((plan.warcFile + ".warc.gz").c_str());  // an archive is never written over
  std::string why;
  std::unique_ptr<WarcWriter> writer = WarcWriter::Open(plan, why);
  if (!writer) {
    std::fprintf(stderr, "%s\n", why.c_str());
    __builtin_trap();
  }
  {
    std::unique_ptr<WireExchange> exchange =
        writer->Begin(url, ip, std::chrono::system_clock::time_point{});
    exchange->Request(request);
    if (!head.empty())
      exchange->AnswerHead(head);
    // The body in pieces whose sizes its own bytes give.
    for (size_t at = 0; at < body.size();) {
      const size_t n = 1 + static_cast<unsigned char>(body[at]) % 64;
      exchange->AnswerBody(body.substr(at, n));
      at += n;
    }
    exchange->End(static_cast<WireCut>(body.size() % 5));
  }
  // No answer: the request alone is kept.
  const int records = head.empty() ? 2 : 3;
  if (!writer->Close(why) || writer->Records() != records)
    __builtin_trap();
  const std::string all = Inflated(plan.warcFile + ".warc.gz");
  size_t at = 0;
  for (const char* type : {"warcinfo", "request", "response"}) {
    if (at == all.size() && records == 2)
      break;
    if (all.compare(at, 10, "WARC/1.1\r\n") != 0)
      __builtin_trap();
    const size_t end = all.find("\r\n\r\n", at);
    if (end == std::string::npos)
      __builtin_trap();
    const std::string fields = all.substr(at, end + 2 - at);
    // Every line of the head is a field, "Name: value", with no line break inside.
    uint64_t length = UINT64_MAX;
    for (size_t line = fields.find("\r\n") + 2; line < fields.size();) {
      const size_t next = fields.find("\r\n", line);
      const std::string field = fields.substr(line, next - line);
      if (field.find('\n') != std::string::npos || field.find('\r') != std::string::npos ||
          field.find('\0') != std::string::npos || field.find(": ") == std::string::npos)
        __builtin_trap();
      if (field.starts_with("Content-Length: "))
        std::from_chars(field.data() + 16, field.data() + field.size(), length);
      // The answer is a revisit where its status says nothing changed.
      if (field.starts_with("WARC-Type: ") && field.substr(11) != type &&
          !(field.substr(11) == "revisit" && std::string_view(type) == "response"))
        __builtin_trap();
      line = next + 2;
    }
    if (length == UINT64_MAX || end + 4 + length + 4 > all.size() ||
        all.compare(end + 4 + length, 4, "\r\n\r\n") != 0)
      __builtin_trap();
    at = end + 4 + length + 4;
  }
  if (at != all.size())
    __builtin_trap();
  return 0;
}
