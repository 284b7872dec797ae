// What an answer's record says of it: its status, its digests, and whether and how it was cut.
#include "crawl/archive/answer_digests.h"

#include <charconv>
#include <cstdint>

#include "platform/ascii.h"

int StatusOf(std::string_view head) {
  const size_t space = head.find(' ');
  int status = 0;
  if (space != std::string_view::npos)
    std::from_chars(head.data() + space + 1, head.data() + head.size(), status);
  return status;
}

const char* CutName(WireCut cut) {
  switch (cut) {
    case WireCut::Length:
      return "length";
    case WireCut::Time:
      return "time";
    case WireCut::Disconnect:
      return "disconnect";
    case WireCut::Unspecified:
      return "unspecified";
    case WireCut::None:
      break;
  }
  return nullptr;
}

namespace {

// Whether an answer's body came short of what its head announced: a transfer that ended without
// reading all of it (a redirect followed over a connection that closes) says nothing of that.
bool CameShort(const std::string& request, const std::string& head, uint64_t received,
               bool chunkedMidway) {
  const int status = StatusOf(head);
  if (request.starts_with("HEAD ") || status / 100 == 1 || status == 204 || status == 304)
    return false;
  if (Contains(ToLowerAscii(HeaderValue(head, "transfer-encoding")), "chunked"))
    return chunkedMidway;
  const std::string length = HeaderValue(head, "content-length");
  uint64_t announced = 0;
  const auto [end, error] =
      std::from_chars(length.data(), length.data() + length.size(), announced);
  return error == std::errc() && end == length.data() + length.size() && received < announced;
}

}  // namespace

bool AnswerDigests(const std::string& request, const std::string& head, const RecordBody& body,
                   std::string& blockDigest, std::string& payloadDigest, bool& cameShort) {
  Digest block, payload;
  Dechunker dechunker;
  const bool chunked = Contains(ToLowerAscii(HeaderValue(head, "transfer-encoding")), "chunked");
  block.Add(head);
  const bool read = body.Each([&](std::string_view piece) {
    block.Add(piece);
    if (chunked)
      dechunker.Feed(piece, [&payload](std::string_view bytes) { payload.Add(bytes); });
    else
      payload.Add(piece);
  });
  blockDigest = block.Labelled();
  payloadDigest = payload.Labelled();
  cameShort = CameShort(request, head, body.Size(), dechunker.Midway());
  return read;
}
