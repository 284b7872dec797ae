// What an answer's header lines say, noted as they come.
#include "platform/answer_headers.h"

#include "platform/ascii.h"
#include "platform/content_decoding.h"

void AnswerHeaders::Line(std::string_view line) {
  framing.Line(line);
  if (line.starts_with("HTTP/")) {
    statusLine = true;
    location.reset();
    lastModified.clear();
    etag.clear();
    contentDisposition.clear();
    retryAfter.clear();
    contentRange.clear();
    codings.clear();
    challenged = digest = false;
  } else if (StartsWithNoCase(line, "content-encoding:")) {
    AddCodings(line.substr(17), codings);
  } else if (StartsWithNoCase(line, "last-modified:")) {
    lastModified = std::string(TrimSpace(line.substr(14)));
  } else if (StartsWithNoCase(line, "www-authenticate:")) {
    const std::string_view scheme = TrimSpace(line.substr(17));
    digest = digest || StartsWithNoCase(scheme, "digest");
    challenged = challenged || digest || StartsWithNoCase(scheme, "basic");
  } else if (StartsWithNoCase(line, "content-disposition:")) {
    contentDisposition = std::string(TrimSpace(line.substr(20)));
  } else if (StartsWithNoCase(line, "retry-after:")) {
    retryAfter = std::string(TrimSpace(line.substr(12)));
  } else if (StartsWithNoCase(line, "content-range:")) {
    contentRange = std::string(TrimSpace(line.substr(14)));
  } else if (StartsWithNoCase(line, "etag:")) {
    etag = std::string(TrimSpace(line.substr(5)));
  } else if (StartsWithNoCase(line, "location:")) {
    std::string_view value = TrimSpace(line.substr(9));
    if (!location && !value.empty())
      location = std::string(value);
  }
}
