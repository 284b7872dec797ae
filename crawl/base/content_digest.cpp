#include "crawl/base/content_digest.h"

#include <cstdio>

void ContentDigester::Add(std::string_view bytes) {
  // Enough to tell an unchanged file from a changed one.
  uint64_t hash = m_hash;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  m_hash = hash;
}

std::string ContentDigester::Text() const {
  char text[40];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(m_hash));
  return text;
}

std::string ContentDigest(std::string_view bytes) {
  ContentDigester digester;
  digester.Add(bytes);
  return digester.Text();
}
