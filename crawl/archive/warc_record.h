#pragma once

// The pieces of a WARC record: its digests, its header fields, a body kept on disk once large,
// and the gzip member each record is written as.
#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A SHA-1 (or SHA-256) digest taken piece by piece.
class Digest {
 public:
  explicit Digest(bool sha256 = false);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  void Add(std::string_view bytes);
  // "sha1:" and the digest in base 32, as archives label it.
  std::string Labelled();
  // The digest in hexadecimal.
  std::string Hex();

 private:
  std::vector<unsigned char> Final();
  EVP_MD_CTX* m_context;
  bool m_sha256;
};

// A body's chunked framing taken off as it comes, for its payload digest: the payload is what
// the chunks carry, content coding kept. Framing that breaks off or makes no sense ends the
// payload there.
class Dechunker {
 public:
  // Calls take(piece) for each piece of payload in bytes.
  template <typename Take>
  void Feed(std::string_view bytes, Take&& take);
  // The framing stopped before its last chunk: the body was cut short.
  bool Midway() const { return m_state != State::Trailer && m_state != State::Done; }

 private:
  enum class State { Size, Extension, SizeEnd, Data, DataEnd, DataEndLf, Trailer, Done };
  // One byte of the framing around the data: a size, its extension, a line's end.
  void Frame(char c);
  State m_state = State::Size;
  uint64_t m_left = 0;
  bool m_digits = false;
};

// A record's body: in memory while small, then in an unnamed temporary file, so that a large
// answer never sits whole in memory.
class RecordBody {
 public:
  RecordBody() = default;
  ~RecordBody();
  RecordBody(const RecordBody&) = delete;
  RecordBody& operator=(const RecordBody&) = delete;
  // Where a body too large for memory goes: an unnamed file in that directory (beside the
  // archive, not in a /tmp that may be memory itself).
  void SpillTo(std::string directory) { m_directory = std::move(directory); }
  // false when the temporary file could not take the bytes.
  bool Append(std::string_view bytes);
  uint64_t Size() const { return m_size; }
  // The bytes, while they are all in memory; nothing once they went to the file.
  const std::string* InMemory() const { return m_spill == nullptr ? &m_memory : nullptr; }
  // Hands the bytes over in order, in pieces; false when they could not be read back.
  template <typename Take>
  bool Each(Take&& take) const;

 private:
  std::string m_memory;
  std::string m_directory;
  std::FILE* m_spill = nullptr;
  uint64_t m_size = 0;
};

// A record's named fields, in the order written.
using WarcFields = std::vector<std::pair<std::string, std::string>>;

// A field value made safe to write: line breaks and NUL bytes, which would end the field or the
// record early, become spaces.
std::string FieldValue(std::string_view value);
// "2026-12-09T05:57:10Z".
std::string WarcDate(std::chrono::system_clock::time_point when);
// "<urn:uuid:…>", random.
std::string NewRecordId();

// The value of a head's first header of that name, or nothing.
std::string HeaderValue(std::string_view head, std::string_view name);

// Whether an answer's body is compressed already, by its head: a content coding, or a type that
// is (pictures but SVG, sound, video, fonts, archives).
bool CompressedAlready(std::string_view head);

// A request head with the values of its Authorization and Proxy-Authorization lines replaced.
std::string WithoutCredentials(std::string_view head);

// Writes one record as one gzip member to the file descriptor, the head and the body's pieces
// deflated as they go; false, with errno's text in why, when the file refused.
class GzipMember {
 public:
  explicit GzipMember(int fd, bool compress = true);
  ~GzipMember();
  GzipMember(const GzipMember&) = delete;
  GzipMember& operator=(const GzipMember&) = delete;
  bool Add(std::string_view bytes);
  bool Finish();
  uint64_t Written() const { return m_written; }
  const std::string& Why() const { return m_why; }

 private:
  bool Deflate(std::string_view bytes, int flush);
  struct Stream;
  std::unique_ptr<Stream> m_stream;
  int m_fd;
  uint64_t m_written = 0;
  std::string m_why;
};

// Makes whole records into gzip members in one go, the fast road for a record held in memory
// (all but the largest answers). Kept for the whole archive: a compressor is costly to set up.
class MemberPacker {
 public:
  MemberPacker();
  ~MemberPacker();
  MemberPacker(const MemberPacker&) = delete;
  MemberPacker& operator=(const MemberPacker&) = delete;
  // The bytes as one gzip member, deflated at the fastest level, or stored when compress is
  // false; valid until the next call. Nothing when out of memory.
  std::string_view Pack(std::string_view bytes, bool compress);

 private:
  struct Compressors;
  std::unique_ptr<Compressors> m_compressors;
  std::string m_out;
};

// Writes all the bytes, through interruptions and short writes; false, with errno's text in why,
// when the file refused.
bool WriteFully(int fd, std::string_view bytes, std::string& why);

// The record's text before its body: "WARC/1.1", the fields, Content-Length, the blank line.
std::string RecordHead(const WarcFields& fields, uint64_t length);

template <typename Take>
void Dechunker::Feed(std::string_view bytes, Take&& take) {
  size_t at = 0;
  while (at < bytes.size() && m_state != State::Trailer && m_state != State::Done) {
    if (m_state != State::Data) {
      Frame(bytes[at++]);
      continue;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(m_left, bytes.size() - at));
    take(bytes.substr(at, n));
    at += n;
    m_left -= n;
    if (m_left == 0)
      m_state = State::DataEnd;
  }
}

template <typename Take>
bool RecordBody::Each(Take&& take) const {
  if (m_spill == nullptr) {
    take(std::string_view(m_memory));
    return true;
  }
  if (std::fflush(m_spill) != 0 || std::fseek(m_spill, 0, SEEK_SET) != 0)
    return false;
  std::string piece(64 * 1024, '\0');
  uint64_t left = m_size;
  while (left > 0) {
    const size_t got = std::fread(piece.data(), 1, piece.size(), m_spill);
    if (got == 0)
      return false;
    take(std::string_view(piece.data(), static_cast<size_t>(std::min<uint64_t>(got, left))));
    left -= std::min<uint64_t>(got, left);
  }
  return true;
}
