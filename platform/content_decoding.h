#pragma once

// Compressed answers, decoded here rather than by libcurl: its decoders take a stream that stops
// short for a whole one, and a copy must never hold a file cut short as if it were complete.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The codings asked for, in the order of preference a request lists them.
inline constexpr const char* kAcceptedCodings = "gzip, br, zstd";

// The most codings one answer may apply: a longer chain is no answer a server means, only a way
// to make its reader work.
inline constexpr size_t kMostCodings = 5;

// The codings of an answer's Content-Encoding headers, in the order they were applied;
// "identity" and empty items left out.
void AddCodings(std::string_view headerValue, std::vector<std::string>& codings);

// Undoes a chain of codings as the body arrives, one stage after the other in a loop, with
// the decoders' memory bounded for the whole chain.
class ContentDecoder {
 public:
  // Takes a piece of decoded bytes; false to stop decoding (the reader refuses more).
  using Output = std::function<bool(const char* data, size_t size)>;

  // A decoder for the codings, or none when one of them is not decoded here (the body is then
  // kept as it came). The chain must hold at most kMostCodings.
  static std::unique_ptr<ContentDecoder> For(const std::vector<std::string>& codings);
  virtual ~ContentDecoder() = default;

  enum class Result { Ok, Invalid, Refused };
  // Decodes bytes as they came from the wire, handing on what they decode to in bounded pieces.
  virtual Result Push(const char* data, size_t size, const Output& output) = 0;
  // Every coding's stream came to its end, and nothing followed it.
  virtual bool Finished() const = 0;
};
