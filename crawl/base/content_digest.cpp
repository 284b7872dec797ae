#include "crawl/base/content_digest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// Eight bytes a step: the byte-at-a-time digest it replaces was one of the crawl's largest costs.
void ContentDigester::Mix(uint64_t word) {
  uint64_t hash = (m_hash ^ word) * 0x9E3779B97F4A7C15ULL;
  m_hash = hash ^ (hash >> 32);
}

void ContentDigester::Add(std::string_view bytes) {
  m_length += bytes.size();
  const char* at = bytes.data();
  size_t left = bytes.size();
  if (m_tailSize > 0) {
    const size_t taken = std::min<size_t>(8 - m_tailSize, left);
    std::memcpy(m_tail + m_tailSize, at, taken);
    m_tailSize += static_cast<unsigned>(taken);
    at += taken;
    left -= taken;
    if (m_tailSize < 8)
      return;
    uint64_t word;
    std::memcpy(&word, m_tail, 8);
    Mix(word);
    m_tailSize = 0;
  }
  for (; left >= 8; at += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, at, 8);
    Mix(word);
  }
  std::memcpy(m_tail, at, left);
  m_tailSize = static_cast<unsigned>(left);
}

std::string ContentDigester::Text() const {
  ContentDigester last = *this;
  uint64_t word = 0;
  std::memcpy(&word, m_tail, m_tailSize);
  last.Mix(word);
  last.Mix(m_length);
  // A last avalanche, so that every input bit reaches every output bit.
  uint64_t hash = last.m_hash;
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdULL;
  hash ^= hash >> 33;
  hash *= 0xc4ceb9fe1a85ec53ULL;
  hash ^= hash >> 33;
  char text[40];
  std::snprintf(text, sizeof text, "mix64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string ContentDigest(std::string_view bytes) {
  ContentDigester digester;
  digester.Add(bytes);
  return digester.Text();
}

std::string EarlierContentDigest(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a over 64 bits
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  char text[40];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}
