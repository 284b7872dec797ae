#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A digest of a file's bytes, to tell later whether an answer brings the same ones; taken as
// the bytes come, so that a file of any size need not be held to be digested.
class ContentDigester {
 public:
  void Add(std::string_view bytes);
  std::string Text() const;

 private:
  uint64_t m_hash = 0xcbf29ce484222325ULL;  // FNV-1a over 64 bits
};

// The digest of bytes held whole.
std::string ContentDigest(std::string_view bytes);
