#include "platform/content_decoding.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/ascii.h"

namespace {

constexpr size_t kPiece = 64 * 1024;  // decoded bytes handed on at a time, per stage
// What the decoders of one answer may hold together: a few zlib windows and one large brotli or
// zstd window, as real servers send. A chain that needs more is refused, not followed.
constexpr size_t kChainMemory = 24 << 20;
// The largest zstd window a server may make us hold: 8 MiB, what HTTP asks decoders to support,
// instead of the library's 128 MiB.
constexpr int kZstdWindowLog = 23;
constexpr int kZstdSmallestWindowLog = 10;  // the format's own least

using Result = ContentDecoder::Result;
using Output = ContentDecoder::Output;

// The memory the decoders of one chain take, charged against what the chain may hold.
class MemoryBudget {
 public:
  void* Take(size_t size) {
    if (size > m_left || size > kChainMemory)
      return nullptr;
    auto* block = static_cast<size_t*>(std::malloc(size + kHeader));
    if (block == nullptr)
      return nullptr;
    *block = size;
    m_left -= size;
    return reinterpret_cast<char*>(block) + kHeader;
  }
  void Give(void* memory) {
    if (memory == nullptr)
      return;
    auto* block = reinterpret_cast<size_t*>(static_cast<char*>(memory) - kHeader);
    m_left += *block;
    std::free(block);
  }
  // Charged for memory taken elsewhere; false when it is not there.
  bool Reserve(size_t size) {
    if (size > m_left)
      return false;
    m_left -= size;
    return true;
  }
  size_t Left() const { return m_left; }

 private:
  static constexpr size_t kHeader = alignof(std::max_align_t);
  size_t m_left = kChainMemory;
};

// One coding undone, a step at a time: Step decodes from `in` (taking what it used) into
// `out`, at most `room` bytes.
class Stage {
 public:
  virtual ~Stage() = default;
  virtual Result Step(std::string_view& in, char* out, size_t room, size_t& produced) = 0;
  // Every stream of this coding came to its end.
  virtual bool Finished() const = 0;
  // The last step filled its room: more may come without more input.
  bool MoreOutput() const { return m_moreOutput; }

 protected:
  bool m_moreOutput = false;
};

// gzip, members one after another as gzip allows; or deflate, which servers send both as the
// zlib format it names and as the bare stream inside it, as browsers take it either way.
class GzipStage : public Stage {
 public:
  enum class Format { Gzip, Deflate };
  GzipStage(MemoryBudget& budget, Format format) : m_format(format) {
    m_stream.zalloc = [](void* opaque, uInt items, uInt size) -> voidpf {
      return static_cast<MemoryBudget*>(opaque)->Take(static_cast<size_t>(items) * size);
    };
    m_stream.zfree = [](void* opaque, voidpf memory) {
      static_cast<MemoryBudget*>(opaque)->Give(memory);
    };
    m_stream.opaque = &budget;
    m_ready = inflateInit2(&m_stream, format == Format::Gzip ? 15 + 16 : 15) == Z_OK;
  }
  ~GzipStage() override {
    if (m_ready)
      inflateEnd(&m_stream);
  }

  Result Step(std::string_view& in, char* out, size_t room, size_t& produced) override {
    if (!m_ready)
      return Result::Invalid;
    if (m_ended && !in.empty()) {
      // More after a member's end: another member, or bytes that are none.
      if (m_format == Format::Deflate || inflateReset(&m_stream) != Z_OK)
        return Result::Invalid;
      m_ended = false;
    }
    const uInt offered = static_cast<uInt>(std::min<size_t>(in.size(), 1u << 30));
    m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    m_stream.avail_in = offered;
    m_stream.next_out = reinterpret_cast<Bytef*>(out);
    m_stream.avail_out = static_cast<uInt>(room);
    int code = inflate(&m_stream, Z_NO_FLUSH);
    // Deflate without its zlib header: the first bytes are read again as the bare stream.
    if (code == Z_DATA_ERROR && m_format == Format::Deflate && !m_bare && m_stream.total_out == 0 &&
        inflateReset2(&m_stream, -15) == Z_OK) {
      m_bare = true;
      m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
      m_stream.avail_in = offered;
      code = inflate(&m_stream, Z_NO_FLUSH);
    }
    in.remove_prefix(offered - m_stream.avail_in);
    produced = room - m_stream.avail_out;
    m_moreOutput = m_stream.avail_out == 0;
    if (code == Z_STREAM_END) {
      m_ended = true;
      m_moreOutput = false;
      return Result::Ok;
    }
    return code == Z_OK || code == Z_BUF_ERROR ? Result::Ok : Result::Invalid;
  }
  bool Finished() const override { return m_ended; }

 private:
  z_stream m_stream{};
  const Format m_format;
  bool m_ready = false;
  bool m_ended = false;
  bool m_bare = false;  // deflate read as the bare stream
};

class BrotliStage : public Stage {
 public:
  explicit BrotliStage(MemoryBudget& budget)
      : m_state(BrotliDecoderCreateInstance(
            [](void* opaque, size_t size) {
              return static_cast<MemoryBudget*>(opaque)->Take(size);
            },
            [](void* opaque, void* memory) { static_cast<MemoryBudget*>(opaque)->Give(memory); },
            &budget)) {}
  ~BrotliStage() override {
    if (m_state != nullptr)
      BrotliDecoderDestroyInstance(m_state);
  }

  Result Step(std::string_view& in, char* out, size_t room, size_t& produced) override {
    if (m_state == nullptr || (m_ended && !in.empty()))
      return Result::Invalid;
    const auto* next = reinterpret_cast<const uint8_t*>(in.data());
    size_t available = in.size();
    auto* write = reinterpret_cast<uint8_t*>(out);
    size_t left = room;
    const BrotliDecoderResult code =
        BrotliDecoderDecompressStream(m_state, &available, &next, &left, &write, nullptr);
    in.remove_prefix(in.size() - available);
    produced = room - left;
    m_moreOutput = code == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
    switch (code) {
      case BROTLI_DECODER_RESULT_SUCCESS:
        m_ended = true;
        return in.empty() ? Result::Ok : Result::Invalid;
      case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
      case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
        return Result::Ok;
      default:
        return Result::Invalid;
    }
  }
  bool Finished() const override { return m_ended; }

 private:
  BrotliDecoderState* m_state;
  bool m_ended = false;
};

// zstd, frames one after another as the format allows. Its window is charged to the chain
// whole when the stage is made, and limited to what is left.
class ZstdStage : public Stage {
 public:
  explicit ZstdStage(MemoryBudget& budget) : m_stream(ZSTD_createDStream()) {
    constexpr size_t kOwnState = 256 * 1024;  // the context beside its window, generously
    int windowLog = kZstdWindowLog;
    while (windowLog > kZstdSmallestWindowLog &&
           (size_t{1} << windowLog) + kOwnState > budget.Left())
      --windowLog;
    if (m_stream == nullptr || !budget.Reserve((size_t{1} << windowLog) + kOwnState)) {
      ZSTD_freeDStream(m_stream);
      m_stream = nullptr;
      return;
    }
    ZSTD_DCtx_setParameter(m_stream, ZSTD_d_windowLogMax, windowLog);
  }
  ~ZstdStage() override { ZSTD_freeDStream(m_stream); }

  Result Step(std::string_view& in, char* out, size_t room, size_t& produced) override {
    if (m_stream == nullptr)
      return Result::Invalid;
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    ZSTD_outBuffer output{out, room, 0};
    const size_t code = ZSTD_decompressStream(m_stream, &output, &input);
    if (ZSTD_isError(code))
      return Result::Invalid;
    in.remove_prefix(input.pos);
    produced = output.pos;
    m_moreOutput = output.pos == output.size;
    m_ended = code == 0;
    return Result::Ok;
  }
  bool Finished() const override { return m_ended; }

 private:
  ZSTD_DStream* m_stream;
  bool m_ended = false;
};

// The stages in decoding order, the coding applied last undone first. Each has a buffer of its
// own for what it decodes, which the next stage takes whole before this one is asked again.
class ChainDecoder : public ContentDecoder {
 public:
  ChainDecoder() = default;
  ChainDecoder(const ChainDecoder&) = delete;
  ChainDecoder& operator=(const ChainDecoder&) = delete;

  MemoryBudget& Budget() { return m_budget; }
  void Add(std::unique_ptr<Stage> stage) {
    m_stages.push_back(std::move(stage));
    m_buffers.push_back(std::make_unique_for_overwrite<char[]>(kPiece));
  }

  Result Push(const char* data, size_t size, const Output& output) override {
    std::vector<std::string_view> input(m_stages.size());
    input[0] = std::string_view(data, size);
    for (;;) {
      // The last stage with work goes first, so that a buffer is empty before it is refilled.
      size_t k = m_stages.size();
      while (k > 0 && input[k - 1].empty() && !m_stages[k - 1]->MoreOutput())
        --k;
      if (k == 0)
        return Result::Ok;
      Stage& stage = *m_stages[--k];
      const size_t offered = input[k].size();
      size_t produced = 0;
      if (Result result = stage.Step(input[k], m_buffers[k].get(), kPiece, produced);
          result != Result::Ok)
        return result;
      // A stage that takes nothing and gives nothing can never go on.
      if (produced == 0 && offered > 0 && input[k].size() == offered && !stage.MoreOutput())
        return Result::Invalid;
      if (produced == 0)
        continue;
      if (k + 1 == m_stages.size()) {
        if (!output(m_buffers[k].get(), produced))
          return Result::Refused;
      } else {
        input[k + 1] = std::string_view(m_buffers[k].get(), produced);
      }
    }
  }
  bool Finished() const override {
    return std::all_of(m_stages.begin(), m_stages.end(),
                       [](const auto& stage) { return stage->Finished(); });
  }

 private:
  MemoryBudget m_budget;  // before the stages, which give their memory back to it
  std::vector<std::unique_ptr<Stage>> m_stages;
  std::vector<std::unique_ptr<char[]>> m_buffers;
};

}  // namespace

void AddCodings(std::string_view headerValue, std::vector<std::string>& codings) {
  while (!headerValue.empty()) {
    const size_t comma = headerValue.find(',');
    std::string coding = ToLowerAscii(TrimSpace(headerValue.substr(0, comma)));
    headerValue =
        comma == std::string_view::npos ? std::string_view() : headerValue.substr(comma + 1);
    // Past the most a chain may hold one more is enough to tell; the rest is not kept.
    if (!coding.empty() && coding != "identity" && codings.size() <= kMostCodings)
      codings.push_back(std::move(coding));
  }
}

std::unique_ptr<ContentDecoder> ContentDecoder::For(const std::vector<std::string>& codings) {
  if (codings.empty() || codings.size() > kMostCodings)
    return nullptr;
  auto chain = std::make_unique<ChainDecoder>();
  for (auto coding = codings.rbegin(); coding != codings.rend(); ++coding) {
    if (*coding == "gzip" || *coding == "x-gzip")
      chain->Add(std::make_unique<GzipStage>(chain->Budget(), GzipStage::Format::Gzip));
    else if (*coding == "deflate")
      chain->Add(std::make_unique<GzipStage>(chain->Budget(), GzipStage::Format::Deflate));
    else if (*coding == "br")
      chain->Add(std::make_unique<BrotliStage>(chain->Budget()));
    else if (*coding == "zstd")
      chain->Add(std::make_unique<ZstdStage>(chain->Budget()));
    else
      return nullptr;
  }
  return chain;
}
