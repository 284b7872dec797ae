#include "platform/answer_framing.h"

#include <algorithm>
#include <cstdint>

#include "platform/ascii.h"

namespace {

// Each item of a Content-Length value (a list, when a header is repeated in one line), as a
// number or as none when it is not a plain decimal one.
template <typename Each>
void ForEachLength(std::string_view text, Each each) {
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view item = TrimSpace(text.substr(0, comma));
    std::optional<int64_t> value;
    if (!item.empty() && item.find_first_not_of("0123456789") == std::string_view::npos) {
      // Leading zeros say nothing; a length past what any body reaches is one never reached.
      const std::string_view digits =
          item.substr(std::min(item.find_first_not_of('0'), item.size()));
      value = digits.size() > 18 ? INT64_MAX : 0;
      for (char c : digits.size() > 18 ? std::string_view() : digits)
        value = *value * 10 + (c - '0');
    }
    each(value);
    if (comma == std::string_view::npos)
      return;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

void AnswerFraming::Line(std::string_view line) {
  if (line.starts_with("HTTP/")) {
    *this = AnswerFraming();
    return;
  }
  // A line that goes on the last one: readers disagree on folded framing headers.
  if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
    m_folded = m_folded || (m_lastFrames && !TrimSpace(line).empty());
    return;
  }
  m_lastFrames = false;
  if (StartsWithNoCase(line, "transfer-encoding:")) {
    m_lastFrames = true;
    m_transferCoded = true;
    // Only chunked is read here, and the connection's reader reads nothing else either.
    std::string_view codings = line.substr(18);
    bool any = false;
    while (!codings.empty()) {
      const size_t comma = codings.find(',');
      const std::string_view coding = TrimSpace(codings.substr(0, comma));
      if (!coding.empty()) {
        any = true;
        m_otherCoding = m_otherCoding || !EqualsNoCase(coding, "chunked");
      }
      codings = comma == std::string_view::npos ? std::string_view() : codings.substr(comma + 1);
    }
    m_otherCoding = m_otherCoding || !any;
  } else if (StartsWithNoCase(line, "content-length:")) {
    m_lastFrames = true;
    const std::string_view value = TrimSpace(line.substr(15));
    if (!m_sizeText)
      m_sizeText = std::string(value);
    ForEachLength(value, [this](std::optional<int64_t> length) {
      m_unreadable = m_unreadable || !length;
      if (length && m_length && *length != *m_length)
        m_disagree = true;
      if (length && !m_length)
        m_length = length;
    });
  }
}

std::string AnswerFraming::Problem() const {
  if (m_folded)
    return "the answer's framing headers are folded over several lines";
  if (m_transferCoded && m_otherCoding)
    return "the answer's transfer coding is not chunked";
  if (m_disagree && !m_transferCoded)
    return "the answer's Content-Length headers disagree";
  return std::string();
}

bool AnswerFraming::Unreadable() const {
  return m_unreadable && !m_transferCoded && !m_disagree;
}

std::optional<int64_t> AnswerFraming::Length() const {
  if (m_transferCoded || m_disagree || m_unreadable)
    return std::nullopt;
  return m_length;
}
