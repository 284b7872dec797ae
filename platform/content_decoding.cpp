#include "platform/content_decoding.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>

#include "platform/ascii.h"

namespace {

constexpr size_t kPiece = 64 * 1024;  // decoded bytes handed on at a time
// The largest zstd window a server may make us hold, per stream: 8 MiB, what HTTP asks
// decoders to support, instead of the library's 128 MiB.
constexpr int kZstdWindowLog = 23;

using Result = ContentDecoder::Result;
using Output = ContentDecoder::Output;

// One coding undone.
class Stage {
 public:
  virtual ~Stage() = default;
  virtual Result Push(const char* data, size_t size, const Output& output) = 0;
  virtual bool Finished() const = 0;
};

// gzip, members one after another as gzip allows.
class GzipStage : public Stage {
 public:
  GzipStage() { m_ready = inflateInit2(&m_stream, 15 + 16) == Z_OK; }
  ~GzipStage() override {
    if (m_ready)
      inflateEnd(&m_stream);
  }

  Result Push(const char* data, size_t size, const Output& output) override {
    if (!m_ready)
      return Result::Invalid;
    while (size > 0) {
      const uInt piece = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
      m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
      m_stream.avail_in = piece;
      if (Result result = Inflate(output); result != Result::Ok)
        return result;
      data += piece;
      size -= piece;
    }
    return Result::Ok;
  }
  bool Finished() const override { return m_ended; }

 private:
  Result Inflate(const Output& output) {
    char buffer[kPiece];
    bool full = false;
    for (;;) {
      if (m_ended && m_stream.avail_in > 0) {
        // More after a member's end: another member, or bytes that are none.
        if (inflateReset(&m_stream) != Z_OK)
          return Result::Invalid;
        m_ended = false;
      }
      if (m_stream.avail_in == 0 && !full)
        return Result::Ok;
      m_stream.next_out = reinterpret_cast<Bytef*>(buffer);
      m_stream.avail_out = sizeof buffer;
      const int code = inflate(&m_stream, Z_NO_FLUSH);
      const size_t produced = sizeof buffer - m_stream.avail_out;
      full = m_stream.avail_out == 0;
      if (produced > 0 && !output(buffer, produced))
        return Result::Refused;
      if (code == Z_STREAM_END) {
        m_ended = true;
        full = false;
      } else if (code == Z_BUF_ERROR && m_stream.avail_in == 0) {
        full = false;  // all taken; more input needed
      } else if (code != Z_OK) {
        return Result::Invalid;
      }
    }
  }

  z_stream m_stream{};
  bool m_ready = false;
  bool m_ended = false;
};

class BrotliStage : public Stage {
 public:
  BrotliStage() : m_state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
  ~BrotliStage() override {
    if (m_state != nullptr)
      BrotliDecoderDestroyInstance(m_state);
  }

  Result Push(const char* data, size_t size, const Output& output) override {
    if (m_state == nullptr || (m_ended && size > 0))
      return Result::Invalid;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(data);
    size_t available = size;
    uint8_t buffer[kPiece];
    for (;;) {
      uint8_t* out = buffer;
      size_t room = sizeof buffer;
      const BrotliDecoderResult code =
          BrotliDecoderDecompressStream(m_state, &available, &in, &room, &out, nullptr);
      const size_t produced = sizeof buffer - room;
      if (produced > 0 && !output(reinterpret_cast<const char*>(buffer), produced))
        return Result::Refused;
      switch (code) {
        case BROTLI_DECODER_RESULT_SUCCESS:
          m_ended = true;
          return available == 0 ? Result::Ok : Result::Invalid;
        case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
          return Result::Ok;
        case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
          break;
        default:
          return Result::Invalid;
      }
    }
  }
  bool Finished() const override { return m_ended; }

 private:
  BrotliDecoderState* m_state;
  bool m_ended = false;
};

// zstd, frames one after another as the format allows.
class ZstdStage : public Stage {
 public:
  ZstdStage() : m_stream(ZSTD_createDStream()) {
    if (m_stream != nullptr)
      ZSTD_DCtx_setParameter(m_stream, ZSTD_d_windowLogMax, kZstdWindowLog);
  }
  ~ZstdStage() override { ZSTD_freeDStream(m_stream); }

  Result Push(const char* data, size_t size, const Output& output) override {
    if (m_stream == nullptr)
      return Result::Invalid;
    ZSTD_inBuffer in{data, size, 0};
    char buffer[kPiece];
    for (;;) {
      ZSTD_outBuffer out{buffer, sizeof buffer, 0};
      const size_t code = ZSTD_decompressStream(m_stream, &out, &in);
      if (ZSTD_isError(code))
        return Result::Invalid;
      if (out.pos > 0 && !output(buffer, out.pos))
        return Result::Refused;
      m_ended = code == 0;
      if (in.pos == in.size && out.pos < out.size)
        return Result::Ok;
    }
  }
  bool Finished() const override { return m_ended; }

 private:
  ZSTD_DStream* m_stream;
  bool m_ended = false;
};

// The stages in decoding order: the coding applied last is undone first.
class ChainDecoder : public ContentDecoder {
 public:
  explicit ChainDecoder(std::vector<std::unique_ptr<Stage>> stages) : m_stages(std::move(stages)) {}

  Result Push(const char* data, size_t size, const Output& output) override {
    return PushAt(0, data, size, output);
  }
  bool Finished() const override {
    return std::all_of(m_stages.begin(), m_stages.end(),
                       [](const auto& stage) { return stage->Finished(); });
  }

 private:
  Result PushAt(size_t stage, const char* data, size_t size, const Output& output) {
    if (stage == m_stages.size())
      return output(data, size) ? Result::Ok : Result::Refused;
    Result inner = Result::Ok;
    Result outer = m_stages[stage]->Push(data, size, [&](const char* piece, size_t n) {
      inner = PushAt(stage + 1, piece, n, output);
      return inner == Result::Ok;
    });
    return inner != Result::Ok ? inner : outer;
  }

  std::vector<std::unique_ptr<Stage>> m_stages;
};

}  // namespace

void AddCodings(std::string_view headerValue, std::vector<std::string>& codings) {
  while (!headerValue.empty()) {
    const size_t comma = headerValue.find(',');
    std::string coding = ToLowerAscii(TrimSpace(headerValue.substr(0, comma)));
    headerValue =
        comma == std::string_view::npos ? std::string_view() : headerValue.substr(comma + 1);
    if (!coding.empty() && coding != "identity")
      codings.push_back(std::move(coding));
  }
}

std::unique_ptr<ContentDecoder> ContentDecoder::For(const std::vector<std::string>& codings) {
  if (codings.empty())
    return nullptr;
  std::vector<std::unique_ptr<Stage>> stages;
  for (auto coding = codings.rbegin(); coding != codings.rend(); ++coding) {
    if (*coding == "gzip" || *coding == "x-gzip")
      stages.push_back(std::make_unique<GzipStage>());
    else if (*coding == "br")
      stages.push_back(std::make_unique<BrotliStage>());
    else if (*coding == "zstd")
      stages.push_back(std::make_unique<ZstdStage>());
    else
      return nullptr;
  }
  return std::make_unique<ChainDecoder>(std::move(stages));
}
