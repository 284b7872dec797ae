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
  // How the transfer ended, its status, and which of its flags are set, in the order
  // unreachable, refused, nameUnknown, certificate, redirectLimit.
  const auto result = [](TransferEnd end, int status, const std::string& flags) {
    TransferResult r;
    r.end = end;
    r.status = status;
    bool* each[] = {&r.unreachable, &r.refused, &r.nameUnknown, &r.certificate, &r.redirectLimit};
    for (size_t i = 0; i < flags.size(); ++i)
      *each[i] = flags[i] == '1';
    return r;
  };
  const TransferEnd failed = TransferEnd::Failed, broken = TransferEnd::Broken,
                    complete = TransferEnd::Complete;
  const RetryPlan plan{3, 10000, false}, refusedToo{3, 10000, true};
  const struct {
    RetryPlan plan;
    TransferResult result;
    int triedAgain;
    long long waitMs;  // -1: not asked again
  } rows[] = {
      {plan, result(failed, 0, ""), 0, 1000},  // reset, or no answer
      {plan, result(failed, 0, ""), 1, 2000},
      {plan, result(failed, 0, ""), 2, -1},  // the third try was the last
      {plan, result(broken, 200, ""), 0, 1000},
      {plan, result(broken, 301, "00001"), 0, -1},  // a redirect loop
      {plan, result(complete, 503, ""), 0, 1000},
      {plan, result(complete, 404, ""), 0, -1},
      {plan, result(complete, 500, ""), 0, -1},  // the server's word on the file
      {plan, result(failed, 0, "11"), 0, -1},    // refused
      {refusedToo, result(failed, 0, "11"), 0, 1000},
      {plan, result(failed, 0, "101"), 0, -1},          // no such server
      {plan, result(failed, 0, "1001"), 0, -1},         // a certificate that does not verify
      {plan, result(failed, 0, "1"), 0, 1000},          // the connection timed out
      {RetryPlan{}, result(complete, 503, ""), 0, -1},  // no tries counted
      {RetryPlan{8, 1500, false}, result(complete, 503, ""), 5, 1500},  // at most --waitretry
  };
  for (const auto& row : rows) {
    const std::optional<std::chrono::milliseconds> wait =
        RetryWait(row.plan, row.result, row.triedAgain);
    EXPECT_EQ(wait ? wait->count() : -1, row.waitMs) << &row - rows;
  }
}

}  // namespace
