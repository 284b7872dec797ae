// The mirror store: nothing outside the save-to directory is read or written, whatever the path
// or the links in the tree say, and a stored file's record survives into the next crawl.
#include "crawl/copy/mirror_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "crawl/base/content_digest.h"
#include "support/recording_dialog.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::unique_ptr<FetchedFile> File(const std::string& bytes, const std::string& type = "") {
  auto file = std::make_unique<FetchedFile>();
  std::memcpy(file->data.get(), bytes.data(), bytes.size());
  file->length = static_cast<int32_t>(bytes.size());
  file->contentType = type;
  return file;
}

class MirrorStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_saveTo = m_temp.Path() + "/save";
    m_outside = m_temp.Path() + "/outside";
    fs::create_directories(m_saveTo + "/host");
    fs::create_directories(m_outside);
    WriteFileBytes(m_outside + "/secret.css", "p { background: url(leak.png) }");
  }
  TempDir m_temp;
  std::string m_saveTo;
  std::string m_outside;
  RecordingDialog m_dialog;
};

// Links in the tree that lead out, and paths that climb: nothing outside is read or written.
TEST_F(MirrorStoreTest, NoPathLeadsOutside) {
  fs::create_directory_symlink(m_outside, m_saveTo + "/host/out");
  fs::create_symlink(m_outside + "/secret.css", m_saveTo + "/host/link.css");
  MirrorStore store(m_saveTo, false);
  for (const std::string& path :
       {m_saveTo + "/host/out/secret.css", m_saveTo + "/host/link.css",
        m_saveTo + "/host/../../outside/secret.css", m_temp.Path() + "/outside/secret.css"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(store.ReadCopy(path));
  }
  EXPECT_FALSE(store.Exists(m_saveTo + "/host/out/secret.css"));
  EXPECT_EQ(store.Save(*File("new"), m_saveTo + "/host/out/new.css"), SaveResult::OutsideSaveTo);
  EXPECT_EQ(store.Save(*File("new"), m_saveTo + "/host/../../outside/new.css"),
            SaveResult::OutsideSaveTo);
  EXPECT_FALSE(fs::exists(m_outside + "/new.css"));
  EXPECT_EQ(m_dialog.Logs().back(), "Not saved (outside the save-to directory): " + m_saveTo +
                                        "/host/../../outside/new.css");
  // A link inside the tree that stays inside is followed.
  WriteFileBytes(m_saveTo + "/host/real.css", "inside");
  fs::create_symlink("real.css", m_saveTo + "/host/alias.css");
  auto alias = store.ReadCopy(m_saveTo + "/host/alias.css");
  ASSERT_TRUE(alias);
  EXPECT_EQ(std::string(alias->data.get(), static_cast<size_t>(alias->length)), "inside");
}

// Only regular files are earlier copies: a pipe is neither read nor waited on.
TEST_F(MirrorStoreTest, OnlyRegularFilesAreEarlierCopies) {
  ASSERT_EQ(mkfifo((m_saveTo + "/host/pipe.htm").c_str(), 0600), 0);
  WriteFileBytes(m_saveTo + "/host/empty.htm", "");
  MirrorStore store(m_saveTo, false);
  EXPECT_TRUE(store.Exists(m_saveTo + "/host/pipe.htm"));
  EXPECT_FALSE(store.ReadCopy(m_saveTo + "/host/pipe.htm"));
  EXPECT_FALSE(store.ReadCopy(m_saveTo + "/host"));
  EXPECT_FALSE(store.ReadCopy(m_saveTo + "/host/empty.htm"));
  // A fetched file takes the pipe's place.
  EXPECT_EQ(store.Save(*File("page"), m_saveTo + "/host/pipe.htm"), SaveResult::Saved);
  EXPECT_EQ(ReadFileBytes(m_saveTo + "/host/pipe.htm"), "page");
}

// What a file was served as is read back by the next crawl, whatever the name holds; the
// store's own records are no place for a crawled file.
TEST_F(MirrorStoreTest, RecordsSurviveIntoTheNextCrawl) {
  const std::string odd = m_saveTo + "/host/page.php?a=%41\tb\nc";
  {
    MirrorStore store(m_saveTo, true);
    auto page = File("<p>", "text/html; charset=utf-8");
    page->url = "http://host/page.php?a=%41\tb\nc";
    ASSERT_EQ(store.Save(*page, odd), SaveResult::Saved);
    ASSERT_EQ(store.Save(*File("GIF", "image/gif"), m_saveTo + "/host/a.gif"), SaveResult::Saved);
    EXPECT_EQ(store.Save(*File("x"), m_saveTo + "/.kelvane/records"), SaveResult::OutsideSaveTo);
  }
  // Records with a second name (a snapshot of the copy) are read as ever.
  fs::create_hard_link(m_saveTo + "/.kelvane/records", m_temp.Path() + "/records.snapshot");
  MirrorStore rerun(m_saveTo, true);
  ASSERT_TRUE(rerun.ReadCopy(odd));
  fs::remove(m_temp.Path() + "/records.snapshot");
  auto page = rerun.ReadCopy(odd);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->contentType, "text/html; charset=utf-8");
  EXPECT_EQ(rerun.ReadCopy(m_saveTo + "/host/a.gif")->contentType, "image/gif");
  EXPECT_FALSE(rerun.ReadCopy(m_saveTo + "/.kelvane/records"));
  // A line torn by a crash is never read as a record, even once later lines follow it.
  {
    std::string records = ReadFileBytes(m_saveTo + "/.kelvane/records");
    records += "host/a.gif\ttext/html\thttp://host/a.gif";
    WriteFileBytes(m_saveTo + "/.kelvane/records", records);
    MirrorStore torn(m_saveTo, true);
    ASSERT_EQ(torn.Save(*File("b", "image/gif"), m_saveTo + "/host/b.gif"), SaveResult::Saved);
    MirrorStore after(m_saveTo, true);
    EXPECT_EQ(after.ReadCopy(m_saveTo + "/host/a.gif")->contentType, "image/gif");
    EXPECT_EQ(after.ReadCopy(m_saveTo + "/host/b.gif")->contentType, "image/gif");
  }
  // Records that are a pipe, or a link to a file elsewhere, are not written to.
  for (bool pipe : {true, false}) {
    TempDir other;
    fs::create_directories(other.Path() + "/.kelvane");
    if (pipe)
      ASSERT_EQ(mkfifo((other.Path() + "/.kelvane/records").c_str(), 0600), 0);
    else
      fs::create_hard_link(m_outside + "/secret.css", other.Path() + "/.kelvane/records");
    MirrorStore store(other.Path(), true);
    EXPECT_EQ(store.Save(*File("x", "text/html"), other.Path() + "/host/x.htm"), SaveResult::Saved);
  }
  EXPECT_EQ(ReadFileBytes(m_outside + "/secret.css"), "p { background: url(leak.png) }");
  // Without records the store writes none.
  TempDir plain;
  MirrorStore store(plain.Path(), false);
  store.Save(*File("x", "text/html"), plain.Path() + "/host/x.htm");
  EXPECT_FALSE(fs::exists(plain.Path() + "/.kelvane"));
}

// Files that were there before the crawl are found, however deep the directories it made beside
// and beneath them.
TEST_F(MirrorStoreTest, FilesThereBeforeAreFoundBesideDirectoriesTheCrawlMade) {
  WriteFileBytes(m_saveTo + "/host/later.html", "mine");
  MirrorStore store(m_saveTo, true);
  ASSERT_EQ(store.Save(*File("c"), m_saveTo + "/host/deep/a/b/c.html"), SaveResult::Saved);
  EXPECT_TRUE(store.IsEarlierCopy(m_saveTo + "/host/later.html"));
  EXPECT_TRUE(store.Exists(m_saveTo + "/host/later.html"));
  EXPECT_FALSE(store.Exists(m_saveTo + "/host/deep/a/b/d.html"));
  EXPECT_TRUE(store.ReadCopy(m_saveTo + "/host/later.html"));
}

// A directory's page asked for with and without its "/", in either order, at one path: both
// addresses find it, in this crawl and the next.
TEST_F(MirrorStoreTest, BothAddressesOfADirectoryFindItsPage) {
  for (bool slashFirst : {false, true}) {
    TempDir saveTo;
    const std::string path = saveTo.Path() + "/host/sub/~index.htm";
    {
      MirrorStore store(saveTo.Path(), true);
      for (const char* asked : slashFirst ? std::vector{"http://host/sub/", "http://host/sub"}
                                          : std::vector{"http://host/sub", "http://host/sub/"}) {
        auto page = File("<p>", "text/html");
        page->url = asked;
        page->finalUrl = "http://host/sub/";
        ASSERT_EQ(store.Save(*page, path), SaveResult::Saved);
      }
    }
    MirrorStore rerun(saveTo.Path(), true);
    EXPECT_EQ(rerun.LocalPathOf("http://host/sub"), path) << slashFirst;
    EXPECT_EQ(rerun.LocalPathOf("http://host/sub/"), path) << slashFirst;
  }
}

// Records grown by changes to the same files are written anew, keeping the newest of each.
TEST_F(MirrorStoreTest, StaleRecordsAreWrittenAnew) {
  {
    MirrorStore store(m_saveTo, true);
    auto page = File("<p>", "text/html");
    page->url = "http://host/a.htm";
    ASSERT_EQ(store.Save(*page, m_saveTo + "/host/a.htm"), SaveResult::Saved);
  }
  std::string records = ReadFileBytes(m_saveTo + "/.kelvane/records");
  const std::string line = records;
  for (int i = 0; i < 3000; ++i)
    records += line;
  size_t type = records.rfind("text/html");
  records.replace(type, 9, "text/plain");
  WriteFileBytes(m_saveTo + "/.kelvane/records", records);
  MirrorStore store(m_saveTo, true);
  EXPECT_EQ(store.ReadCopy(m_saveTo + "/host/a.htm")->contentType, "text/plain");
  std::string written = ReadFileBytes(m_saveTo + "/.kelvane/records");
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 1);
  EXPECT_NE(written.find("text/plain"), std::string::npos);
}

}  // namespace

// A file's digest is the same however its bytes came in pieces, and tells other bytes apart;
// the earlier versions' digest still reads their records.
TEST(ContentDigest, SameBytesSameDigestInAnyPieces) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i)
    bytes += static_cast<char>(i * 7);
  const std::string whole = ContentDigest(bytes);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, size_t{8}, size_t{9}, size_t{64}}) {
    ContentDigester digester;
    for (size_t at = 0; at < bytes.size(); at += piece)
      digester.Add(std::string_view(bytes).substr(at, piece));
    EXPECT_EQ(digester.Text(), whole) << piece;
  }
  std::set<std::string> seen = {whole, ContentDigest(""), ContentDigest(std::string(1, '\0'))};
  for (size_t cut : {size_t{1}, size_t{7}, size_t{8}})
    seen.insert(ContentDigest(std::string_view(bytes).substr(0, bytes.size() - cut)));
  EXPECT_EQ(seen.size(), 6u);
  EXPECT_EQ(EarlierContentDigest("a"), "fnv1a64:af63dc4c8601ec8c");
}
