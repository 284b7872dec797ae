#include "crawl/run/http_fetcher.h"
#include "crawl/run/retry_rule.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace {

TEST(IsHttpUrl, SchemesInAnyCase) {
  struct {
    const char* text;
    bool http;
  } cases[] = {
      {"http://host/", true},      {"HTTP://host/", true},
      {"https://host/", true},     {"HtTpS://h", true},
      {"http:/", false},           {"https:/", false},
      {"ftp://host/", false},      {"", false},
      {"/srv/Sites/a.htm", false}, {"xhttp://host", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsHttpUrl(c.text), c.http) << c.text;
}

TEST(FetchedFile, StartsEmptyWithItsAreaAllocated) {
  FetchedFile file;
  EXPECT_EQ(file.length, 0);
  EXPECT_EQ(file.cursor, -1);
  EXPECT_TRUE(file.url.empty());
  ASSERT_NE(file.data, nullptr);
  file.data[FetchedFile::kCapacity - 1] = 'x';  // the whole area is there (checked by ASan)
}

TEST(LoadLocal, ReadsTheFileWhole) {
  TempDir temp;
  std::string bytes(5000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i);
  WriteFileBytes(temp.Path() + "/a.bin", bytes);
  auto file = LoadLocal(temp.Path() + "/a.bin");
  EXPECT_EQ(file->url, temp.Path() + "/a.bin");
  ASSERT_EQ(file->length, 5000);
  EXPECT_EQ(std::string(file->data.get(), 5000), bytes);
  EXPECT_EQ(file->cursor, -1);
}

TEST(LoadLocal, MissingEmptyAndDirectoryGiveNothing) {
  TempDir temp;
  WriteFileBytes(temp.Path() + "/empty", "");
  EXPECT_EQ(LoadLocal(temp.Path() + "/missing")->length, 0);
  EXPECT_EQ(LoadLocal(temp.Path() + "/empty")->length, 0);
  EXPECT_EQ(LoadLocal(temp.Path())->length, 0);
}

TEST(LoadLocal, KeepsTheFirst4MiBOfALargerFile) {
  TempDir temp;
  WriteFileBytes(temp.Path() + "/big", std::string(FetchedFile::kCapacity + 10, 'b'));
  EXPECT_EQ(LoadLocal(temp.Path() + "/big")->length, FetchedFile::kCapacity);
}

}  // namespace

namespace {

// Which failures are asked again, after how long: wget's rule of tries.
TEST(RetryRule, FailuresThatMayPassAreAskedAgainWithAGrowingWait) {
  const auto failed = [](bool unreachable, bool refused, bool nameUnknown, bool certificate) {
    TransferResult result = TransferResult::Failure("x");
    result.unreachable = unreachable;
    result.refused = refused;
    result.nameUnknown = nameUnknown;
    result.certificate = certificate;
    return result;
  };
  TransferResult status;
  status.status = 503;
  TransferResult missing;
  missing.status = 404;
  TransferResult cut;
  cut.end = TransferEnd::Broken;
  TransferResult loop = cut;
  loop.redirectLimit = true;
  RetryPlan plan;
  plan.tries = 3;
  RetryPlan refusedToo = plan;
  refusedToo.connectionRefused = true;
  const struct {
    RetryPlan plan;
    TransferResult result;
    int triedAgain;
    long long waitMs;  // -1: not asked again
  } rows[] = {
      {plan, failed(false, false, false, false), 0, 1000},  // reset, or no answer
      {plan, failed(false, false, false, false), 1, 2000},
      {plan, failed(false, false, false, false), 2, -1},  // the third try was the last
      {plan, cut, 0, 1000},
      {plan, loop, 0, -1},
      {plan, status, 0, 1000},
      {plan, missing, 0, -1},
      {plan, failed(true, true, false, false), 0, -1},  // refused
      {refusedToo, failed(true, true, false, false), 0, 1000},
      {plan, failed(true, false, true, false), 0, -1},     // no such server
      {plan, failed(true, false, false, true), 0, -1},     // a certificate that does not verify
      {plan, failed(true, false, false, false), 0, 1000},  // the connection timed out
      {RetryPlan{}, status, 0, -1},                        // no tries counted
      {RetryPlan{8, 1500, false}, status, 5, 1500},        // at most --waitretry
  };
  for (const auto& row : rows) {
    const std::optional<std::chrono::milliseconds> wait =
        RetryWait(row.plan, row.result, row.triedAgain);
    EXPECT_EQ(wait ? wait->count() : -1, row.waitMs) << &row - rows;
  }
}

}  // namespace
