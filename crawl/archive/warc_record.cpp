#include "crawl/archive/warc_record.h"

#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <openssl/rand.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <ctime>

#include "platform/ascii.h"

Digest::Digest(bool sha256) : m_context(EVP_MD_CTX_new()), m_sha256(sha256) {
  EVP_DigestInit_ex(m_context, sha256 ? EVP_sha256() : EVP_sha1(), nullptr);
}

Digest::~Digest() {
  EVP_MD_CTX_free(m_context);
}

void Digest::Add(std::string_view bytes) {
  EVP_DigestUpdate(m_context, bytes.data(), bytes.size());
}

std::vector<unsigned char> Digest::Final() {
  std::vector<unsigned char> sum(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EVP_DigestFinal_ex(m_context, sum.data(), &length);
  sum.resize(length);
  return sum;
}

std::string Digest::Labelled() {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  const std::vector<unsigned char> sum = Final();
  std::string text = m_sha256 ? "sha256:" : "sha1:";
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char byte : sum) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      text += kAlphabet[(buffer >> (bits - 5)) & 31];
      bits -= 5;
    }
  }
  if (bits > 0)
    text += kAlphabet[(buffer << (5 - bits)) & 31];
  while ((text.size() - text.find(':') - 1) % 8 != 0)
    text += '=';
  return text;
}

std::string Digest::Hex() {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : Final()) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

RecordBody::~RecordBody() {
  if (m_spill != nullptr)
    std::fclose(m_spill);
}

bool RecordBody::Append(std::string_view bytes) {
  constexpr size_t kInMemory = 1024 * 1024;
  m_size += bytes.size();
  if (m_spill == nullptr && m_memory.size() + bytes.size() <= kInMemory) {
    m_memory.append(bytes);
    return true;
  }
  if (m_spill == nullptr) {
    const int fd = m_directory.empty()
                       ? -1
                       : ::open(m_directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      m_spill = ::fdopen(fd, "w+b");
      if (m_spill == nullptr)
        ::close(fd);
    } else {
      m_spill = std::tmpfile();
    }
    if (m_spill == nullptr ||
        std::fwrite(m_memory.data(), 1, m_memory.size(), m_spill) != m_memory.size())
      return false;
    std::string().swap(m_memory);
  }
  return std::fwrite(bytes.data(), 1, bytes.size(), m_spill) == bytes.size();
}

std::string FieldValue(std::string_view value) {
  std::string safe(value);
  for (char& c : safe) {
    if (c == '\r' || c == '\n' || c == '\0')
      c = ' ';
  }
  return safe;
}

std::string WarcDate(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string NewRecordId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    // Never expected; a clock and counter still keep ids apart within the crawl.
    static uint64_t counter = 0;
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    const uint64_t mixed = now * 0x9E3779B97F4A7C15ull ^ ++counter;
    std::memcpy(bytes, &mixed, 8);
    std::memcpy(bytes + 8, &now, 8);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static const char kDigits[] = "0123456789abcdef";
  std::string id = "<urn:uuid:";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      id += '-';
    id += kDigits[bytes[i] >> 4];
    id += kDigits[bytes[i] & 15];
  }
  return id + ">";
}

std::string HeaderValue(std::string_view head, std::string_view name) {
  size_t at = head.find('\n');
  while (at != std::string_view::npos && at + 1 < head.size()) {
    const size_t start = at + 1;
    at = head.find('\n', start);
    const std::string_view line =
        head.substr(start, (at == std::string_view::npos ? head.size() : at) - start);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(TrimSpace(line.substr(0, colon)), name))
      return std::string(TrimSpace(line.substr(colon + 1)));
  }
  return {};
}

bool CompressedAlready(std::string_view head) {
  const std::string coding = ToLowerAscii(HeaderValue(head, "content-encoding"));
  const std::string type = ToLowerAscii(HeaderValue(head, "content-type"));
  if (!coding.empty() && coding != "identity")
    return true;
  for (const char* kind : {"image/", "audio/", "video/", "font/woff", "application/zip",
                           "application/gzip", "application/x-gzip", "application/zstd",
                           "application/x-xz", "application/x-bzip2", "application/wasm"}) {
    if (type.starts_with(kind))
      return !type.starts_with("image/svg") && !type.starts_with("image/bmp");
  }
  return false;
}

std::string WithoutCredentials(std::string_view head) {
  std::string out;
  out.reserve(head.size());
  size_t at = 0;
  while (at < head.size()) {
    size_t end = head.find('\n', at);
    end = end == std::string_view::npos ? head.size() : end + 1;
    const std::string_view line = head.substr(at, end - at);
    const size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon == std::string_view::npos ? 0 : colon);
    if (EqualsNoCase(name, "authorization") || EqualsNoCase(name, "proxy-authorization")) {
      out.append(name);
      out.append(": [removed]\r\n");
    } else {
      out.append(line);
    }
    at = end;
  }
  return out;
}

std::string RecordHead(const WarcFields& fields, uint64_t length) {
  std::string head = "WARC/1.1\r\n";
  for (const auto& [name, value] : fields)
    head += name + ": " + FieldValue(value) + "\r\n";
  head += "Content-Length: " + std::to_string(length) + "\r\n\r\n";
  return head;
}

struct GzipMember::Stream {
  z_stream z{};
  bool ready = false;
};

GzipMember::GzipMember(int fd, bool compress) : m_stream(std::make_unique<Stream>()), m_fd(fd) {
  // The fastest level, an archive being written on the crawl's time; none for bytes that are
  // compressed already, which deflate would only spend time on.
  const int level = compress ? Z_BEST_SPEED : Z_NO_COMPRESSION;
  m_stream->ready =
      deflateInit2(&m_stream->z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  if (!m_stream->ready)
    m_why = "zlib";
}

GzipMember::~GzipMember() {
  if (m_stream->ready)
    deflateEnd(&m_stream->z);
}

bool GzipMember::Deflate(std::string_view bytes, int flush) {
  if (!m_stream->ready || !m_why.empty())
    return false;
  z_stream& z = m_stream->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  unsigned char out[64 * 1024];
  int result = Z_OK;
  do {
    z.next_out = out;
    z.avail_out = sizeof out;
    result = deflate(&z, flush);
    if (result == Z_STREAM_ERROR) {
      m_why = "zlib";
      return false;
    }
    const size_t have = sizeof out - z.avail_out;
    if (!WriteFully(m_fd, std::string_view(reinterpret_cast<const char*>(out), have), m_why))
      return false;
    m_written += have;
  } while (z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
  return true;
}

bool GzipMember::Add(std::string_view bytes) {
  // zlib counts in 32 bits: a larger piece goes in several.
  constexpr size_t kMost = 1u << 30;
  for (size_t at = 0; at < bytes.size(); at += kMost) {
    if (!Deflate(bytes.substr(at, kMost), Z_NO_FLUSH))
      return false;
  }
  return m_why.empty();
}

bool GzipMember::Finish() {
  return Deflate({}, Z_FINISH);
}

bool WriteFully(int fd, std::string_view bytes, std::string& why) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0) {
      why = std::strerror(wrote < 0 ? errno : EIO);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(wrote));
  }
  return true;
}

struct MemberPacker::Compressors {
  libdeflate_compressor* fast = libdeflate_alloc_compressor(1);
  libdeflate_compressor* stored = libdeflate_alloc_compressor(0);
  ~Compressors() {
    libdeflate_free_compressor(fast);
    libdeflate_free_compressor(stored);
  }
};

MemberPacker::MemberPacker() : m_compressors(std::make_unique<Compressors>()) {}

MemberPacker::~MemberPacker() = default;

std::string_view MemberPacker::Pack(std::string_view bytes, bool compress) {
  libdeflate_compressor* compressor = compress ? m_compressors->fast : m_compressors->stored;
  if (compressor == nullptr)
    return {};
  // Grown only: a shrunken string would be filled again on the next growth.
  const size_t bound = libdeflate_gzip_compress_bound(compressor, bytes.size());
  if (m_out.size() < bound)
    m_out.resize(bound);
  const size_t size =
      libdeflate_gzip_compress(compressor, bytes.data(), bytes.size(), m_out.data(), m_out.size());
  return std::string_view(m_out.data(), size);
}

void Dechunker::Frame(char c) {
  const State afterSize = m_left == 0 ? State::Trailer : State::Data;
  switch (m_state) {
    case State::Size: {
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit >= 0 && m_left < (uint64_t{1} << 56)) {
        m_left = m_left * 16 + static_cast<uint64_t>(digit);
        m_digits = true;
      } else if (m_digits && (c == ';' || c == ' ' || c == '\t')) {
        m_state = State::Extension;
      } else if (m_digits && c == '\r') {
        m_state = State::SizeEnd;
      } else {
        m_state = m_digits && c == '\n' ? afterSize : State::Done;
      }
      break;
    }
    case State::Extension:
      m_state = c == '\n' ? afterSize : State::Extension;
      break;
    case State::SizeEnd:
      m_state = c == '\n' ? afterSize : State::Done;
      break;
    case State::DataEnd:
      m_state = c == '\r' ? State::DataEndLf : c == '\n' ? State::Size : State::Done;
      m_digits = false;
      break;
    case State::DataEndLf:
      m_state = c == '\n' ? State::Size : State::Done;
      break;
    default:
      break;
  }
}
