#include "crawl/copy/mirror_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "crawl/run/http_fetcher.h"
#include "crawl/run/link_stack.h"
#include "support/recording_dialog.h"
#include "support/temp_dir.h"

namespace {

using Strings = std::vector<std::string>;

TEST(MirrorDirectory, Table) {
  struct {
    const char* url;
    const char* saveTo;
    const char* mirror;
  } cases[] = {
      {"http://host", "/srv/Sites", "/srv/Sites/host"},
      {"http://host/", "/srv/Sites", "/srv/Sites/host"},
      {"http://host/docs", "/srv/Sites", "/srv/Sites/host/docs"},
      {"http://host/docs/", "/srv/Sites", "/srv/Sites/host/docs"},
      {"http://host/docs/index.html", "/srv/Sites", "/srv/Sites/host/docs"},
      {"http://host/docs/2.0", "/srv/Sites", "/srv/Sites/host/docs"},
      {"http://host/a.b/d", "/srv/Sites", "/srv/Sites/host/a.b/d"},
      {"http://host/docs/.cfg", "/srv/Sites", "/srv/Sites/host/docs"},
      {"http://host:8080/x.html", "/srv/Sites", "/srv/Sites/host:8080"},
      {"http://host/docs/", "D:\\Sites", "D:/Sites/host/docs"},
      {"http://host/docs/", "/srv/Sites/", "/srv/Sites/host/docs"},  // never "//"
      {"http://host/", "", "/host"},
      // https counts like http; text without a scheme is taken whole.
      {"https://host/docs/", "/srv/Sites", "/srv/Sites/host/docs"},
      {"https://host/?u=http://x/", "/srv/Sites", "/srv/Sites/host/?u=http://x"},
      {"HTTP://host/d/", "/srv/Sites", "/srv/Sites/host/d"},
      {"host/docs", "/srv/Sites", "/srv/Sites/host/docs"},
      {"", "/srv/Sites", "/srv/Sites/"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MirrorDirectory(c.url, c.saveTo), c.mirror) << c.url;
}

TEST(AppendIndexName, Table) {
  struct {
    const char* url;
    const char* appended;
  } cases[] = {
      {"http://host", "/~index.htm"},
      {"http://host/", "~index.htm"},
      {"http://host/dir", "/~index.htm"},
      {"http://host/dir/page.htm", ""},
      {"http://host/dir/.cfg", "/~index.htm"},
      {"http://host/dir/2.0", ""},
      {"", "/~index.htm"},
      {"http://", "/~index.htm"},
      // The scheme prefix that the address really has is dropped.
      {"https://host.com", "/~index.htm"},
      {"https://host.com/", "~index.htm"},
  };
  for (const auto& c : cases) {
    std::string target = "T";
    AppendIndexName(c.url, target, "~index.htm");
    EXPECT_EQ(target, std::string("T") + c.appended) << c.url;
  }
  std::string start = "https://host.com";
  AppendIndexName(start, start, "");
  EXPECT_EQ(start, "https://host.com/");
}

TEST(LocalPath, Table) {
  RecordingDialog dialog;
  LinkStack stack("http://host/docs/");
  const std::string mirror = MirrorDirectory("http://host/docs/", "/srv/Sites");
  struct {
    const char* url;
    const char* local;
    bool saved;
  } cases[] = {
      {"http://host/docs/", "/srv/Sites/host/docs/~index.htm", true},
      {"http://host/docs/a/b.gif", "/srv/Sites/host/docs/a/b.gif", true},
      {"http://host/docs/sub", "/srv/Sites/host/docs/sub/~index.htm", true},
      {"http://host/docs2/p.htm", "/srv/Sites/host/docs2/p.htm", true},
      {"http://host/other/p.htm", "/srv/Sites/host/docs", false},
  };
  for (const auto& c : cases) {
    std::string rel = stack.RelativePart(c.url);
    EXPECT_EQ(LocalPathOf(c.url, rel, mirror), c.local) << c.url;
    EXPECT_EQ(!rel.empty(), c.saved) << c.url;
  }
}

std::unique_ptr<FetchedFile> File(const std::string& bytes) {
  auto file = std::make_unique<FetchedFile>();
  std::memcpy(file->data.get(), bytes.data(), bytes.size());
  file->length = static_cast<int32_t>(bytes.size());
  return file;
}

TEST(Save, CreatesTheWholeChainFromTheTopmostEntry) {
  TempDir temp;
  RecordingDialog dialog;
  const std::string root = temp.Path() + "/Sites";
  std::filesystem::create_directory(root);
  const std::string path = root + "/host/docs/a/b/x.gif";
  Save(*File("GIF89a"), path);
  Strings expected{"Saving: " + path, "Need Dir: " + root + "/host/docs/a/b", "Mkdir: "};
  // Every ancestor from the top of the file system down, the first being the empty text.
  std::string walked;
  std::string rest = (root + "/host/docs/a/b").substr(1);
  Strings downward;
  for (size_t start = 0;;) {
    size_t end = rest.find('/', start);
    walked = "/" + rest.substr(0, end);
    downward.push_back("Mkdir: " + walked);
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  expected.insert(expected.end(), downward.begin(), downward.end());
  EXPECT_EQ(dialog.Logs(), expected);
  EXPECT_EQ(ReadFileBytes(path), "GIF89a");
}

TEST(Save, ExistingParentGivesOneMkdirAndExistingDirectoryNone) {
  TempDir temp;
  RecordingDialog dialog;
  const std::string path = temp.Path() + "/host/x.htm";
  Save(*File("one"), path);
  EXPECT_EQ(dialog.Logs(), (Strings{"Saving: " + path, "Need Dir: " + temp.Path() + "/host",
                                    "Mkdir: " + temp.Path() + "/host"}));
  dialog.Clear();
  Save(*File("two, longer"), path);
  EXPECT_EQ(dialog.Logs(), Strings{"Saving: " + path});
  EXPECT_EQ(ReadFileBytes(path), "two, longer");
  Save(*File(""), path);
  EXPECT_EQ(ReadFileBytes(path), "");
}

TEST(Save, DeepChainsAreCreatedInFull) {
  TempDir temp;
  RecordingDialog dialog;
  std::string path = temp.Path();
  for (int i = 0; i < 40; ++i)
    path += "/d" + std::to_string(i);
  path += "/deep.gif";
  Save(*File("deep"), path);
  EXPECT_EQ(ReadFileBytes(path), "deep");
}

TEST(Save, KeepsTheBytesAndLeavesNoTemporaryFile) {
  TempDir temp;
  RecordingDialog dialog;
  std::string bytes;
  for (int i = 0; i < 70000; ++i)
    bytes += static_cast<char>(i * 7 % 256);
  const std::string path = temp.Path() + "/b.bin";
  Save(*File("an older, longer copy of the file"), path);
  Save(*File(bytes), path);
  EXPECT_EQ(ReadFileBytes(path), bytes);
  int entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(temp.Path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(Save, PermissionsAreThoseOfAPlainCreation) {
  TempDir temp;
  RecordingDialog dialog;
  mode_t old = umask(022);
  Save(*File("x"), temp.Path() + "/p.htm");
  umask(old);
  struct stat info {};
  ASSERT_EQ(stat((temp.Path() + "/p.htm").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(Save, TargetThatIsADirectoryIsSkippedSilently) {
  TempDir temp;
  RecordingDialog dialog;
  std::filesystem::create_directory(temp.Path() + "/taken");
  Save(*File("x"), temp.Path() + "/taken");
  EXPECT_EQ(dialog.Logs(), Strings{"Saving: " + temp.Path() + "/taken"});
  EXPECT_TRUE(std::filesystem::is_directory(temp.Path() + "/taken"));
}

// A disk that fills up during the write: the file size limit makes write() fail the same way.
TEST(Save, WriteFailureIsLoggedAndLeavesNothing) {
  TempDir temp;
  RecordingDialog dialog;
  const std::string path = temp.Path() + "/big.bin";
  WriteFileBytes(path, "old complete copy");
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Save(*File(std::string(70000, 'z')), path);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(dialog.Logs(), (Strings{"Saving: " + path, "Not saved (write failed): " + path}));
  EXPECT_EQ(ReadFileBytes(path), "old complete copy");
  int entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(temp.Path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(Save, ParentSegmentInThePathIsRefused) {
  TempDir temp;
  RecordingDialog dialog;
  std::filesystem::create_directory(temp.Path() + "/in");
  const std::string path = temp.Path() + "/in/../escaped.htm";
  Save(*File("x"), path);
  EXPECT_EQ(dialog.Logs(), Strings{"Not saved (outside the save-to directory): " + path});
  EXPECT_FALSE(std::filesystem::exists(temp.Path() + "/escaped.htm"));
  Save(*File("x"), temp.Path() + "/in/..x/ok.htm");
  EXPECT_TRUE(std::filesystem::exists(temp.Path() + "/in/..x/ok.htm"));
}

TEST(Save, SymlinkAtTheTargetIsReplacedNotWrittenThrough) {
  TempDir temp;
  RecordingDialog dialog;
  WriteFileBytes(temp.Path() + "/outside", "keep");
  std::filesystem::create_directory(temp.Path() + "/m");
  std::filesystem::create_symlink(temp.Path() + "/outside", temp.Path() + "/m/a.htm");
  Save(*File("new"), temp.Path() + "/m/a.htm");
  EXPECT_EQ(ReadFileBytes(temp.Path() + "/outside"), "keep");
  EXPECT_EQ(ReadFileBytes(temp.Path() + "/m/a.htm"), "new");
}

}  // namespace
