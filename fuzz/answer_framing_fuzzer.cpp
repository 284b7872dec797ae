// An answer's header lines and body as a connection delivers them: what the size check keeps
// is the body as its framing has it, whole or not at all. A transfer coding frames the body
// whatever Content-Length says, Content-Length values that differ, other transfer codings and
// framing headers folded over lines leave no body whole, and a body is never cut at a length that
// did not frame it.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/answer_framing.h"
#include "platform/ascii.h"

namespace {

// The rule, said plainly: the length the body must have, whether none can be trusted.
struct Expected {
  std::optional<int64_t> length;
  bool unusable = false;  // no body can be taken as whole
};

Expected Rule(const std::vector<std::string_view>& lines) {
  bool coded = false;
  bool onlyChunked = true;
  bool folded = false;
  bool readable = true;
  bool lastFrames = false;
  std::vector<int64_t> lengths;
  size_t headers = 0;
  for (std::string_view line : lines) {
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      folded = folded || (lastFrames && !TrimSpace(line).empty());
      continue;
    }
    lastFrames =
        StartsWithNoCase(line, "transfer-encoding:") || StartsWithNoCase(line, "content-length:");
    if (StartsWithNoCase(line, "transfer-encoding:")) {
      coded = true;
      // Chunked, once or more, and nothing else.
      bool any = false;
      std::string_view value = line.substr(18);
      for (size_t comma; (comma = value.find(',')), true;) {
        const std::string_view item = TrimSpace(value.substr(0, comma));
        any = any || !item.empty();
        onlyChunked = onlyChunked && (item.empty() || EqualsNoCase(item, "chunked"));
        if (comma == std::string_view::npos)
          break;
        value.remove_prefix(comma + 1);
      }
      onlyChunked = onlyChunked && any;
    }
    if (!StartsWithNoCase(line, "content-length:"))
      continue;
    ++headers;
    std::string_view value = line.substr(15);
    for (size_t comma; (comma = value.find(',')), true;) {
      const std::string_view item = TrimSpace(value.substr(0, comma));
      const bool digits =
          !item.empty() && item.find_first_not_of("0123456789") == std::string_view::npos;
      // Leading zeros aside, more than 18 digits is a length no body reaches.
      const std::string_view significant =
          item.substr(std::min(item.find_first_not_of('0'), item.size()));
      if (digits)
        lengths.push_back(significant.size() > 18 ? INT64_MAX
                          : significant.empty()   ? 0
                                                  : std::stoll(std::string(significant)));
      readable = readable && digits;
      if (comma == std::string_view::npos)
        break;
      value.remove_prefix(comma + 1);
    }
  }
  Expected expected;
  expected.unusable = folded || (coded && !onlyChunked);
  if (coded || headers == 0)
    return expected;
  for (int64_t length : lengths)
    expected.unusable = expected.unusable || length != lengths.front();
  // Text that is no number frames nothing: the body ends with the connection.
  if (readable && !expected.unusable)
    expected.length = lengths.front();
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Header lines up to an empty one; the rest is the body.
  const size_t blank = input.find("\n\n");
  const std::string_view head = input.substr(0, blank);
  const std::string_view body =
      blank == std::string_view::npos ? std::string_view() : input.substr(blank + 2);
  std::vector<std::string_view> lines;
  for (size_t start = 0; start <= head.size();) {
    const size_t end = std::min(head.find('\n', start), head.size());
    lines.push_back(head.substr(start, end - start));
    start = end + 1;
  }
  AnswerFraming framing;
  framing.Line("HTTP/1.1 200 OK");
  for (std::string_view line : lines) {
    if (!line.starts_with("HTTP/"))
      framing.Line(line);
  }
  std::erase_if(lines, [](std::string_view line) { return line.starts_with("HTTP/"); });
  const Expected expected = Rule(lines);
  const bool unusable = !framing.Problem().empty();
  if (unusable != expected.unusable || (!unusable && framing.Length() != expected.length))
    __builtin_trap();
  // What is kept: the body up to the framed length, whole only when it reached it.
  const size_t kept = framing.Length()
                          ? std::min<size_t>(body.size(), static_cast<size_t>(*framing.Length()))
                          : body.size();
  const bool whole =
      !unusable && (!framing.Length() || body.size() >= static_cast<size_t>(*framing.Length()));
  if (whole && framing.TransferCoded() && kept != body.size())
    __builtin_trap();
  return 0;
}
