#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A digest of a file's bytes, to tell later whether an answer brings the same ones; taken as
// the bytes come, so that a file of any size need not be held to be digested. The same bytes
// give the same digest however they are cut into pieces.
class ContentDigester {
 public:
  void Add(std::string_view bytes);
  std::string Text() const;

 private:
  void Mix(uint64_t word);
  uint64_t m_hash = 0x6a09e667f3bcc908ULL;
  uint64_t m_length = 0;
  unsigned char m_tail[8] = {};  // the bytes of a word not yet whole
  unsigned m_tailSize = 0;
};

// The digest of bytes held whole.
std::string ContentDigest(std::string_view bytes);
// The digest that copies made by earlier versions recorded ("fnv1a64:…"), for comparing with them.
std::string EarlierContentDigest(std::string_view bytes);
