#include "ui/window_placement.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowPlacement, ReadsLikeTheFormat) {
  auto placement = ParseWindowPlacement("2,3,-1,-1,-8,-8,10,20,650,300");
  ASSERT_TRUE(placement);
  EXPECT_EQ(placement->flags, 2u);
  EXPECT_EQ(placement->showCmd, 3u);
  EXPECT_EQ(placement->maxX, -8);
  EXPECT_EQ(placement->left, 10);
  EXPECT_EQ(placement->bottom, 300);
  EXPECT_EQ(FormatWindowPlacement(*placement), "2,3,-1,-1,-8,-8,10,20,650,300");
  EXPECT_TRUE(ParseWindowPlacement(" 0, 1,-1,-1,-1,-1,1,2,3,4 trailing"));
  EXPECT_EQ(ParseWindowPlacement("0,1,-1,-1,-1,-1,1,2,3,99999999999999")->bottom, 2147483647);
  for (const char* bad :
       {"", "0,1,-1,-1,-1,-1,1,2,3", "0,1,-1,-1,-1,-1,1,2,3,", "0;1;-1;-1;-1;-1;1;2;3;4",
        "0,1,-1,-1,-1,-1,a,2,3,4", "0 ,1,-1,-1,-1,-1,1,2,3,4"}) {
    EXPECT_FALSE(ParseWindowPlacement(bad)) << bad;
  }
}

}  // namespace
