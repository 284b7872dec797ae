#pragma once

// What an answer's header lines say, noted as they come.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/answer_framing.h"

struct AnswerHeaders {
  bool statusLine = false;              // an answer's status line came: the answer has begun
  std::optional<std::string> location;  // the first, which is the one curl follows
  std::string lastModified;
  std::string etag;
  std::string contentDisposition;
  std::string retryAfter;
  std::string contentRange;
  AnswerFraming framing;
  std::vector<std::string> codings;  // of its Content-Encoding headers, in the order applied
  bool challenged = false;           // it asks for Basic or Digest credentials
  bool digest = false;               // Digest among them, which is taken over Basic
  std::string realm;                 // the first challenge's realm, as it names itself

  // One header line as it came; a status line begins another answer, whose headers replace
  // these.
  void Line(std::string_view line);
};
