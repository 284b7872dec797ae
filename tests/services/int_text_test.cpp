#include "support/int_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(IntToText, PercentIForm) {
  EXPECT_EQ(IntToText(0), "0");
  EXPECT_EQ(IntToText(128), "128");
  EXPECT_EQ(IntToText(-1), "-1");
  EXPECT_EQ(IntToText(std::numeric_limits<int32_t>::min()), "-2147483648");
  EXPECT_EQ(IntToText(std::numeric_limits<int32_t>::max()), "2147483647");
}

TEST(TextToInt, ReadsLikeAtoiWithoutOverflow) {
  struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"", 0},
      {"abc", 0},
      {"-1", -1},
      {"2abc", 2},
      {"  \t42", 42},
      {"+7", 7},
      {"- 7", 0},
      {"12345", 12345},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"99999999999999999999999", 2147483647},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"-99999999999999999999", std::numeric_limits<int32_t>::min()},
      {"007", 7},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TextToInt(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
