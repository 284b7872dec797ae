// The archive's pieces: heads in HTTP/1.1 form, credentials left out, chunked payloads, digests,
// index keys and lines.
#include <gtest/gtest.h>

#include <filesystem>

#include "crawl/archive/archive_index.h"
#include "crawl/archive/wacz_package.h"
#include "crawl/archive/warc_record.h"
#include "crawl/archive/warc_writer.h"
#include "platform/wire_recorder.h"
#include "support/temp_dir.h"

namespace {

TEST(ArchivePieces, HeadsAndKeysAsArchivesReadThem) {
  struct Row {
    std::string (*rule)(std::string_view);
    std::string in, out;
  };
  const std::vector<Row> rows = {
      {AsHttp11Request, "GET /a HTTP/2\r\nHost: h\r\n\r\n", "GET /a HTTP/1.1\r\nHost: h\r\n\r\n"},
      {AsHttp11Request, "GET /a HTTP/1.0\r\n\r\n", "GET /a HTTP/1.0\r\n\r\n"},
      {AsHttp11Answer, "HTTP/2 404 \r\nserver: x\r\n\r\n",
       "HTTP/1.1 404 Not Found\r\nserver: x\r\n\r\n"},
      {AsHttp11Answer, "HTTP/2 299 \r\n\r\n", "HTTP/1.1 299 \r\n\r\n"},
      {AsHttp11Answer, "HTTP/1.1 200 Fine\r\n\r\n", "HTTP/1.1 200 Fine\r\n\r\n"},
      {[](std::string_view head) { return WithoutCredentials(head); },
       "GET / HTTP/1.1\r\nauthorization: Basic dTpw\r\nProxy-Authorization: x\r\nA: b\r\n\r\n",
       "GET / HTTP/1.1\r\nauthorization: [removed]\r\nProxy-Authorization: [removed]\r\nA: "
       "b\r\n\r\n"},
      {SurtKey, "http://www.Example.com:80/A/b?z=1&a=2#f", "com,example)/a/b?a=2&z=1"},
      {SurtKey, "https://sub.example.org:8443", "org,example,sub:8443)/"},
      {SurtKey, "http://127.0.0.1:8080/x", "1,0,0,127:8080)/x"},
      {[](std::string_view date) { return IndexTimestamp(date); }, "2026-12-09T05:57:10Z",
       "20261209055710"},
      // A page's title as the package lists it: one line of valid UTF-8, references decoded.
      {PageTitle, "<html><TITLE>\n A &amp; B\t&#8212; \xff</title>",
       "A & B \xE2\x80\x94 \xEF\xBF\xBD"},
      {PageTitle, "<titles>no</titles>", ""},
      // Bytes compressed already are stored, not deflated again.
      {[](std::string_view head) { return std::string(CompressedAlready(head) ? "yes" : "no"); },
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", "yes"},
      {[](std::string_view head) { return std::string(CompressedAlready(head) ? "yes" : "no"); },
       "HTTP/1.1 200 OK\r\ncontent-type: image/svg+xml\r\n\r\n", "no"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.rule(row.in), row.out) << row.in;
}

TEST(ArchivePieces, ChunkedPayloadWholeOrInPiecesAndItsDigest) {
  const std::string body =
      "4;x=y\r\nWiki\r\n6\r\npedia \r\nE\r\nin \r\n\r\nchunks.\r\n0\r\nT: v\r\n\r\n";
  for (size_t piece : {body.size(), size_t{1}, size_t{3}}) {
    Dechunker dechunker;
    std::string payload;
    for (size_t at = 0; at < body.size(); at += piece)
      dechunker.Feed(std::string_view(body).substr(at, piece),
                     [&](std::string_view part) { payload.append(part); });
    EXPECT_EQ(payload, "Wikipedia in \r\n\r\nchunks.") << piece;
  }
  Digest empty;
  EXPECT_EQ(empty.Labelled(), "sha1:3I42H3S6NNFQ2MSVX7XZKYAYSCX5QBYJ");
  Digest abc(true);
  abc.Add("abc");
  EXPECT_EQ(abc.Hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // A field value never ends its line early.
  EXPECT_EQ(FieldValue(std::string_view("a\r\nWARC-Type: x\0b", 17)), "a  WARC-Type: x b");
}

TEST(ArchivePieces, IndexLinesReadBack) {
  IndexEntry entry{"http://h/\"q\"",
                   "2026-12-09T05:57:10Z",
                   200,
                   "text/html; charset=utf-8",
                   "sha1:AAAA",
                   "a.warc.gz",
                   123,
                   45,
                   false};
  const std::string line = IndexLine(entry);
  EXPECT_EQ(line,
            "h)/\"q\" 20261209055710 {\"url\": \"http://h/\\\"q\\\"\", \"mime\": \"text/html\", "
            "\"status\": \"200\", \"digest\": \"sha1:AAAA\", \"length\": \"45\", \"offset\": "
            "\"123\", \"filename\": \"a.warc.gz\"}");
  const std::optional<IndexEntry> back = ReadIndexLine(line);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->uri, entry.uri);
  EXPECT_EQ(back->date, entry.date);
  EXPECT_EQ(back->digest, entry.digest);
  EXPECT_EQ(back->offset, 123u);
  EXPECT_FALSE(ReadIndexLine("no json here"));
  // A revisit of a body never recorded names none.
  entry.digest.clear();
  entry.revisit = true;
  EXPECT_FALSE(IndexLine(entry).find("digest") != std::string::npos) << IndexLine(entry);
}

// An archive refused at the start writes nothing, and leaves what was there as it was.
TEST(ArchivePieces, RefusedArchiveTouchesNothing) {
  TempDir dir;
  const std::string kept = dir.Path() + "/kept";
  WriteFileBytes(kept + ".wacz", "precious");
  WriteFileBytes(kept + ".cdxj", "precious");
  auto plan = [](std::string warcFile, std::string wacz, bool cdx, std::string dedupIndex) {
    ArchivePlan plan;
    plan.warcFile = std::move(warcFile);
    plan.wacz = std::move(wacz);
    plan.cdx = cdx;
    plan.dedup = !dedupIndex.empty();
    plan.dedupIndex = std::move(dedupIndex);
    return plan;
  };
  struct Row {
    ArchivePlan plan;
    const char* why;
  };
  // Names taken by links to nowhere, and a package another crawl is making.
  std::filesystem::create_symlink(dir.Path() + "/nowhere.cdxj", dir.Path() + "/linked.cdxj");
  std::filesystem::create_symlink(dir.Path() + "/nowhere.wacz", dir.Path() + "/linked.wacz");
  // A directory of the user's that looks like a package's working one is no crawl's to remove.
  std::filesystem::create_directory(dir.Path() + "/made.wacz.backup");
  WriteFileBytes(dir.Path() + "/made.wacz.backup/data.warc.gz", "precious");
  std::string why;
  const std::unique_ptr<WarcWriter> making =
      WarcWriter::Open(plan("", dir.Path() + "/made.wacz", false, ""), why);
  ASSERT_NE(making, nullptr) << why;
  const Row rows[] = {
      {plan(dir.Path() + "/a", kept + ".wacz", false, ""), "File exists"},
      {plan(kept, "", true, ""), "File exists"},
      {plan(dir.Path() + "/b", "", false, dir.Path()), "Is a directory"},
      {plan(dir.Path() + "/linked", "", true, ""), "File exists"},
      {plan("", dir.Path() + "/linked.wacz", false, ""), "File exists"},
      {plan("", dir.Path() + "/made.wacz", false, ""), "another crawl is making this package"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WarcWriter::Open(row.plan, why), nullptr);
    EXPECT_TRUE(why.ends_with(row.why)) << why;
  }
  EXPECT_EQ(ReadFileBytes(kept + ".wacz"), "precious");
  EXPECT_EQ(ReadFileBytes(kept + ".cdxj"), "precious");
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/nowhere.cdxj"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/nowhere.wacz"));
  EXPECT_EQ(ReadFileBytes(dir.Path() + "/made.wacz.backup/data.warc.gz"), "precious");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 6);
}

}  // namespace
