#include "support/activity_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/recording_dialog.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::string> FileLines(const std::string& path) {
  std::string bytes = ReadFileBytes(path);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(start, bytes.size()) << "the file must end with a line break";
  return lines;
}

TEST(ActivityLog, QuietModeOnlyShowsTheText) {
  TempDir temp;
  RecordingDialog dialog;
  dialog.m_saveToDirectory.Set(temp.Path());
  Log("Reading remote file...");
  EXPECT_EQ(dialog.Events(), std::vector<std::string>{"text 1004 Reading remote file..."});
  EXPECT_FALSE(std::filesystem::exists(temp.Path() + "/Kelvane.log"));
}

TEST(ActivityLog, VerboseModeAppendsTimestampedLines) {
  TempDir temp;
  RecordingDialog dialog;
  dialog.m_saveToDirectory.Set(temp.Path());
  dialog.m_verbose = 1;
  Log("Push():http://host/");
  Log("");
  Log("two\nlines");
  EXPECT_EQ(dialog.Logs(), (std::vector<std::string>{"Push():http://host/", "", "two\nlines"}));
  std::vector<std::string> lines = FileLines(temp.Path() + "/Kelvane.log");
  ASSERT_EQ(lines.size(), 4u);
  const std::regex stamp(R"(\d{6}-\d{6}: )");
  EXPECT_TRUE(std::regex_match(lines[0].substr(0, 15), stamp)) << lines[0];
  EXPECT_EQ(lines[0].substr(15), "Push():http://host/");
  EXPECT_EQ(lines[1].size(), 15u);
  EXPECT_EQ(lines[2].substr(15), "two");
  EXPECT_EQ(lines[3], "lines");
}

TEST(ActivityLog, FollowsTheSaveToDirectoryAtEveryCall) {
  TempDir first;
  TempDir second;
  RecordingDialog dialog;
  dialog.m_verbose = 1;
  dialog.m_saveToDirectory.Set(first.Path());
  Log("one");
  dialog.m_saveToDirectory.Set(second.Path());
  Log("two");
  dialog.m_verbose = 0;
  Log("three");
  EXPECT_EQ(FileLines(first.Path() + "/Kelvane.log").size(), 1u);
  ASSERT_EQ(FileLines(second.Path() + "/Kelvane.log").size(), 1u);
  EXPECT_EQ(FileLines(second.Path() + "/Kelvane.log")[0].substr(15), "two");
}

// The log is kept open between lines; a log removed or replaced meanwhile must not swallow them.
TEST(ActivityLog, LogRemovedOrReplacedDuringARunGetsTheNextLines) {
  TempDir temp;
  RecordingDialog dialog;
  dialog.m_verbose = 1;
  dialog.m_saveToDirectory.Set(temp.Path());
  const std::string log = temp.Path() + "/Kelvane.log";
  Log("one");
  std::filesystem::remove(log);
  Log("two");
  ASSERT_EQ(FileLines(log).size(), 1u);
  EXPECT_EQ(FileLines(log)[0].substr(15), "two");
  std::filesystem::rename(log, temp.Path() + "/old.log");
  WriteFileBytes(log, "");
  Log("three");
  ASSERT_EQ(FileLines(log).size(), 1u);
  EXPECT_EQ(FileLines(log)[0].substr(15), "three");
  EXPECT_EQ(FileLines(temp.Path() + "/old.log").size(), 1u);
}

TEST(ActivityLog, ClosedLogIsOpenedAgainByTheNextLine) {
  TempDir temp;
  RecordingDialog dialog;
  dialog.m_verbose = 1;
  dialog.m_saveToDirectory.Set(temp.Path());
  Log("one");
  CloseLogFile();
  Log("two");
  EXPECT_EQ(FileLines(temp.Path() + "/Kelvane.log").size(), 2u);
}

TEST(ActivityLog, UnwritableDirectoryLosesTheLineSilently) {
  TempDir temp;
  RecordingDialog dialog;
  dialog.m_verbose = 1;
  dialog.m_saveToDirectory.Set(temp.Path() + "/does/not/exist");
  Log("lost");
  EXPECT_EQ(dialog.Logs(), std::vector<std::string>{"lost"});
}

TEST(ActivityLog, PathAndStartUpDeletion) {
  EXPECT_EQ(LogFilePath("/srv/Sites"), "/srv/Sites/Kelvane.log");
  EXPECT_EQ(LogFilePath(""), "/Kelvane.log");
  EXPECT_EQ(LogFilePath("D:\\Sites"), "D:\\Sites/Kelvane.log");
  TempDir temp;
  WriteFileBytes(temp.Path() + "/Kelvane.log", "old run\n");
  DeleteLogFile(temp.Path());
  EXPECT_FALSE(std::filesystem::exists(temp.Path() + "/Kelvane.log"));
  DeleteLogFile(temp.Path());  // nothing there: no harm
}

}  // namespace
