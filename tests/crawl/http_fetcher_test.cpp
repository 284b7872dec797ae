#include "crawl/run/http_fetcher.h"

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
