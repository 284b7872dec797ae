#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How an answer's body is framed, read from its header lines as HTTP/1.1 frames a message: a
// chunked transfer coding frames the body whatever a Content-Length says; Content-Length values
// that differ leave no length anyone can trust; one that is no number frames nothing, and the
// body ends with the connection. Framing that cannot be read as the connection's reader reads
// it (another transfer coding, a framing header folded over two lines) frames nothing either.
class AnswerFraming {
 public:
  // One header line as it came; a status line begins the headers of another answer.
  void Line(std::string_view line);

  // The first Content-Length text as sent, for reports.
  const std::optional<std::string>& SizeText() const { return m_sizeText; }
  // The chunked transfer coding frames the body.
  bool TransferCoded() const { return m_transferCoded && !m_otherCoding; }
  // Why no body can be taken from this answer as whole, or empty when one can.
  std::string Problem() const;
  // A Content-Length that would frame the body but is no number, which one reader may take for
  // a length and another not.
  bool Unreadable() const;
  // The body's length as the headers frame it; none when they give none (the body ends with
  // the connection or with its transfer coding).
  std::optional<int64_t> Length() const;

 private:
  std::optional<std::string> m_sizeText;
  std::optional<int64_t> m_length;  // the first number a Content-Length gives
  bool m_disagree = false;          // another number differs from it
  bool m_unreadable = false;        // a Content-Length that is no number
  bool m_transferCoded = false;
  bool m_otherCoding = false;  // a transfer coding that is not chunked alone
  bool m_folded = false;       // a framing header went on over a second line
  bool m_lastFrames = false;   // the last header line was a framing one
};
