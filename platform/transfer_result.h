#pragma once

// What a transfer came to, curl's results mapped once into the program's own.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// How a transfer ended.
enum class TransferEnd {
  Complete,         // the answer came whole
  Broken,           // the answer's headers came, then it broke off
  Failed,           // no answer: the connection or the request failed
  Refused,          // the reader refused more bytes
  RedirectRefused,  // the answer sent it where the crawl does not go; text is the address
};

struct TransferResult {
  TransferEnd end = TransferEnd::Complete;
  std::string text;  // the reason, for every end but Complete and Refused
  int status = 0;    // the last answer's status, 0 when none came
  // Failed before the server could be talked to at all: its name, a connection to it or the
  // TLS set-up with it failed. Every request to that server would fail the same way.
  bool unreachable = false;
  bool nameUnknown = false;    // among those: the server's name could not be resolved
  bool refused = false;        // among those: the connection was refused
  bool certificate = false;    // among those: the server's certificate did not verify
  bool redirectLimit = false;  // Broken: it would have taken more redirects than allowed
  // The body's bytes as they crossed the wire, where they differ from the bytes handed on (a
  // compressed answer); otherwise nothing.
  std::optional<int64_t> wireBytes;
  // The size header of the last answer whose headers began, where none became the file's: one
  // cut in its headers, or a redirect whose target failed.
  std::optional<std::string> sizeHeader;
  std::string retryAfter;    // the last answer's Retry-After, as sent
  bool multiplexed = false;  // it came as a stream of a connection that carries several

  // The pause the answer asks for before the server is asked again: a 429, or a 503 with
  // Retry-After (seconds or a date), at most ten minutes; a 429 without one, one second doubled
  // at each try. None: the answer is the file's.
  std::optional<std::chrono::milliseconds> PauseAsked(int tries) const;

  // No answer: the connection or the request failed, for this reason.
  static TransferResult Failure(std::string why) {
    TransferResult result;
    result.end = TransferEnd::Failed;
    result.text = std::move(why);
    return result;
  }
};
