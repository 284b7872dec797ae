// Compressed bodies decoded as they arrive: whole streams give the resource, and anything that
// stops short, runs on or is not what it says is never taken for a whole file.
#include "platform/content_decoding.h"

#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zstd.h>

#include <random>

#include "support/compress.h"

namespace {

std::string Brotli(const std::string& text) {
  size_t size = BrotliEncoderMaxCompressedSize(text.size()) + 16;
  std::string out(size, '\0');
  BrotliEncoderCompress(5, 22, BROTLI_MODE_GENERIC, text.size(),
                        reinterpret_cast<const uint8_t*>(text.data()), &size,
                        reinterpret_cast<uint8_t*>(out.data()));
  out.resize(size);
  return out;
}

std::string Zstd(const std::string& text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3));
  return out;
}

struct Decoded {
  ContentDecoder::Result result = ContentDecoder::Result::Ok;
  bool finished = false;
  std::string text;
};

// Fed in pieces of 1,000 bytes, as a transfer hands them on; refuses past `most` bytes.
Decoded Decode(const std::vector<std::string>& codings, const std::string& body,
               size_t most = 1 << 26) {
  std::unique_ptr<ContentDecoder> decoder = ContentDecoder::For(codings);
  Decoded decoded;
  for (size_t at = 0; at < body.size() && decoded.result == ContentDecoder::Result::Ok;
       at += 1000) {
    const std::string piece = body.substr(at, 1000);
    decoded.result = decoder->Push(piece.data(), piece.size(), [&](const char* data, size_t n) {
      decoded.text.append(data, n);
      return decoded.text.size() <= most;
    });
  }
  decoded.finished = decoder->Finished();
  return decoded;
}

std::string Text() {
  std::mt19937 random(7);
  std::string text;
  while (text.size() < 300000)
    text += "word" + std::to_string(random() % 5000) + (random() % 9 == 0 ? "\n" : " ");
  return text;
}

TEST(ContentDecoding, WholeStreamsGiveTheResource) {
  const std::string text = Text();
  const struct {
    std::vector<std::string> codings;
    std::string body;
  } cases[] = {
      {{"gzip"}, Gzip(text)},
      {{"x-gzip"}, Gzip(text)},
      {{"br"}, Brotli(text)},
      {{"zstd"}, Zstd(text)},
      {{"gzip", "br"}, Brotli(Gzip(text))},  // applied in this order: undone last to first
      {{"gzip", "gzip"}, Gzip(Gzip(text))},
      {{"deflate"}, Deflate(text)},
      {{"deflate"}, Deflate(text, true)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.codings.back());
    Decoded decoded = Decode(c.codings, c.body);
    EXPECT_EQ(decoded.result, ContentDecoder::Result::Ok);
    EXPECT_TRUE(decoded.finished);
    EXPECT_TRUE(decoded.text == text);
  }
  // Members and frames one after another are one body.
  Decoded members = Decode({"gzip"}, Gzip("first ") + Gzip("second"));
  EXPECT_TRUE(members.finished);
  EXPECT_EQ(members.text, "first second");
  Decoded frames = Decode({"zstd"}, Zstd("first ") + Zstd("second"));
  EXPECT_TRUE(frames.finished);
  EXPECT_EQ(frames.text, "first second");
}

TEST(ContentDecoding, StreamsThatStopShortRunOnOrLieAreNeverWhole) {
  const std::string text = Text();
  for (const auto& [coding, body] : std::vector<std::pair<std::string, std::string>>{
           {"gzip", Gzip(text)}, {"br", Brotli(text)}, {"zstd", Zstd(text)}}) {
    SCOPED_TRACE(coding);
    Decoded cut = Decode({coding}, body.substr(0, body.size() / 2));
    EXPECT_FALSE(cut.finished);
    Decoded lastByteMissing = Decode({coding}, body.substr(0, body.size() - 1));
    EXPECT_FALSE(lastByteMissing.result == ContentDecoder::Result::Ok && lastByteMissing.finished);
    Decoded trailing = Decode({coding}, body + "garbage after the end");
    EXPECT_FALSE(trailing.result == ContentDecoder::Result::Ok && trailing.finished);
    Decoded notCompressed = Decode({coding}, text);
    EXPECT_EQ(notCompressed.result, ContentDecoder::Result::Invalid);
  }
}

TEST(ContentDecoding, TheReaderBoundsWhatABombCosts) {
  const std::string zeros(64 << 20, '\0');
  for (const auto& [coding, body] : std::vector<std::pair<std::string, std::string>>{
           {"gzip", Gzip(zeros)}, {"zstd", Zstd(zeros)}, {"br", Brotli(zeros)}}) {
    SCOPED_TRACE(coding);
    Decoded decoded = Decode({coding}, body, 4 << 20);
    EXPECT_EQ(decoded.result, ContentDecoder::Result::Refused);
    EXPECT_LE(decoded.text.size(), (4u << 20) + 65536);
  }
}

TEST(ContentDecoding, CodingsAreReadAsHeadersListThem) {
  std::vector<std::string> codings;
  AddCodings(" GZIP , identity,,br ", codings);
  AddCodings("identity", codings);
  AddCodings("zstd", codings);
  EXPECT_EQ(codings, (std::vector<std::string>{"gzip", "br", "zstd"}));
  EXPECT_EQ(ContentDecoder::For({}), nullptr);
  EXPECT_EQ(ContentDecoder::For({"gzip", "x-foo"}), nullptr);  // kept as it came
  EXPECT_EQ(ContentDecoder::For({"compress"}), nullptr);
  // A chain longer than any server means is refused whole; five codings are still undone.
  const std::string text = "picture";
  std::string five = text;
  for (int i = 0; i < 5; ++i)
    five = Gzip(five);
  EXPECT_EQ(Decode(std::vector<std::string>(5, "gzip"), five).text, text);
  EXPECT_EQ(ContentDecoder::For(std::vector<std::string>(6, "gzip")), nullptr);
}

}  // namespace
