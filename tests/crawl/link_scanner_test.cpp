#include "crawl/read/link_scanner.h"
#include "crawl/run/link_stack.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/recording_dialog.h"

namespace {

std::unique_ptr<FetchedFile> Page(const std::string& bytes,
                                  const std::string& url = "http://host/dir/page.html") {
  auto page = std::make_unique<FetchedFile>();
  std::memcpy(page->data.get(), bytes.data(), bytes.size());
  page->length = static_cast<int32_t>(bytes.size());
  page->url = url;
  return page;
}

std::vector<std::string> Lines(const std::string& bytes) {
  auto page = Page(bytes);
  std::vector<std::string> lines;
  while (!LinkScanner::AtEnd(*page))
    lines.push_back(LinkScanner::ReadLine(*page));
  return lines;
}

// The link texts that the scanner hands to Push, in order, read back from a stack whose base
// prefix lets everything through and whose page directory is empty.
std::vector<std::string> Found(const std::string& line) {
  RecordingDialog dialog;
  auto page = Page(line, "");
  LinkStack stack("");
  LinkScanner::ScanPage(*page, stack);
  std::vector<std::string> links;
  for (const std::string& text : dialog.Logs()) {
    if (text.starts_with("Push():/"))
      links.push_back(text.substr(8));
  }
  return links;
}

using Strings = std::vector<std::string>;

TEST(ReadLine, LineEnds) {
  EXPECT_EQ(Lines("a\r\nb\rc\nd"), (Strings{"a", "b", "c", "d"}));
  EXPECT_EQ(Lines("a\n\nb"), (Strings{"a", "", "b"}));
  EXPECT_EQ(Lines("a\r\n"), (Strings{"a"}));
  EXPECT_EQ(Lines("a\n\r"), (Strings{"a", ""}));
  EXPECT_EQ(Lines(""), Strings{});
  EXPECT_EQ(Lines(std::string("ab\0cd\nef", 8)), (Strings{"ab", "ef"}));
}

TEST(ReadLine, LongLinesComeIn255CharacterPieces) {
  std::string line(600, 'x');
  EXPECT_EQ(Lines(line),
            (Strings{std::string(255, 'x'), std::string(255, 'x'), std::string(90, 'x')}));
  EXPECT_EQ(Lines(std::string(255, 'y') + "\r\nz"), (Strings{std::string(255, 'y'), "z"}));
  EXPECT_EQ(Lines(std::string(256, 'y')), (Strings{std::string(255, 'y'), "y"}));
}

TEST(ReadLine, CursorEndsAtTheLastByte) {
  auto page = Page("ab\ncd");
  LinkScanner::ReadLine(*page);
  EXPECT_EQ(page->cursor, 2);
  LinkScanner::ReadLine(*page);
  EXPECT_EQ(page->cursor, 4);
  EXPECT_TRUE(LinkScanner::AtEnd(*page));
}

struct ScanCase {
  const char* line;
  Strings links;
};

class ScanTable : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, FindsTheLinksInOrder) {
  EXPECT_EQ(Found(GetParam().line), GetParam().links) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Families, ScanTable,
    ::testing::Values(ScanCase{"<A HREF='a.html'><IMG SRC='b.gif'></A> <a href='next.html'>",
                               {"b.gif", "a.html", "next.html"}},
                      ScanCase{"<Img Src='a.gif'> <IMG Src='a.gif'>", {}},
                      ScanCase{"<img src='a.gif'><IMG SRC='b.gif'>", {"b.gif"}},
                      ScanCase{"<IMG\tSRC='a.gif'>", {}},
                      ScanCase{"<A NAME='top'><LINK HREF='s.css'>", {"s.css"}},
                      ScanCase{"<IMG SRC = 'a.gif'>", {}},
                      ScanCase{"<IMG SRC=a.gif BORDER=0><A HREF='x.html'>",
                               {".gif BORDER=0><A HREF=", "x.html"}},
                      ScanCase{"<IMG SRC='x.gif' ALT=\"pic\">", {"x.gif' ALT="}},
                      ScanCase{"<IMG SRC=\"\">", {""}},
                      ScanCase{"<IMG SRC='1.gif'><IMG SRC='2.gif'>", {"1.gif", "2.gif"}},
                      ScanCase{"<FRAME SRC='f1.htm'><FRAME SRC='f2.htm'>", {"f1.htm"}},
                      ScanCase{"<BODY BACKGROUND='b1.gif'><BODY BACKGROUND='b2.gif'>", {"b1.gif"}},
                      ScanCase{"<body background=\"bg.jpg\">", {"bg.jpg"}},
                      ScanCase{"<frame src=\"low.htm\">", {"low.htm"}},
                      ScanCase{"<AREA SHAPE=rect HREF=\"map.htm\">", {"map.htm"}},
                      ScanCase{"<area href='m.htm'>", {"m.htm"}},
                      ScanCase{"MSFPpreload('a.gif');MSFPpreload('b.gif')", {"a.gif", "b.gif"}},
                      ScanCase{"msfppreload('a.gif')", {}}, ScanCase{"MSFPpreload(\"a.gif\")", {}},
                      ScanCase{"<IMG SRC=", {}}, ScanCase{"<IMG SRC='never closed", {}},
                      // Every family on one line, in the families' order.
                      ScanCase{"<FRAME SRC='6.htm'><BODY BACKGROUND='5.gif'>MSFPpreload('4.gif')"
                               "<AREA HREF='3.htm'><A HREF='2.htm'><IMG SRC='1.gif'>",
                               {"1.gif", "2.htm", "3.htm", "4.gif", "5.gif", "6.htm"}}));

TEST(ScanPage, TagAcrossAPieceBoundaryIsNotFound) {
  std::string line = std::string(250, ' ') + "<IMG SRC='a.gif'>";
  EXPECT_EQ(Found(line), Strings{});
}

TEST(ScanPage, AttributeOnTheNextLineYieldsNothing) {
  EXPECT_EQ(Found("<IMG\nSRC='a.gif'>"), Strings{});
  EXPECT_EQ(Found("<IMG \nSRC='a.gif'>"), Strings{});
}

TEST(ScanPage, ShowsAnalysingAndResolvesAgainstThePage) {
  RecordingDialog dialog;
  auto page = Page("<IMG SRC='pic/a.gif'><IMG SRC='/img/b.gif'>\n<A HREF='../up.htm'>");
  LinkStack stack("http://host/dir/page.html");
  LinkScanner::ScanPage(*page, stack);
  Strings events = dialog.Events();
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[2], "text 1016 Analysing");
  EXPECT_EQ(events[3], "text 1015 http://host/dir/page.html");
  EXPECT_EQ(stack.Pop(), "http://host/dir/img/b.gif");
  EXPECT_EQ(stack.Pop(), "http://host/dir/pic/a.gif");
  // The base prefix is tested before "../" is collapsed.
  EXPECT_EQ(stack.Pop(), "http://host/up.htm");
  EXPECT_EQ(LinkScanner::BaseForLink(*page, "a.gif"), "http://host/dir/");
  EXPECT_EQ(LinkScanner::BaseForLink(*page, "/a.gif"), "http://host/dir");
  EXPECT_EQ(LinkScanner::BaseForLink(*page, ""), "http://host/dir/");
}

TEST(ScanPage, EmptyPageOnlyShowsAnalysing) {
  RecordingDialog dialog;
  auto page = Page("");
  LinkStack stack("http://host/");
  dialog.Clear();
  LinkScanner::ScanPage(*page, stack);
  EXPECT_EQ(dialog.Events(),
            (Strings{"text 1016 Analysing", "text 1015 http://host/dir/page.html"}));
}

TEST(ScanPage, SecondScanFindsNoLine) {
  RecordingDialog dialog;
  auto page = Page("<IMG SRC='a.gif'>");
  LinkStack stack("");
  LinkScanner::ScanPage(*page, stack);
  EXPECT_EQ(stack.AcceptedCount(), 1);
  LinkScanner::ScanPage(*page, stack);
  EXPECT_EQ(stack.AcceptedCount(), 1);
}

}  // namespace
