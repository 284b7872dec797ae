#include "crawl/run/link_stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "crawl/rules/mirror_paths.h"
#include "platform/file_system.h"
#include "support/recording_dialog.h"
#include "support/temp_dir.h"

namespace {

// The link that Push accepted, or "" when it dropped the link.
std::string Accepted(LinkStack& stack, RecordingDialog& dialog, const std::string& pageDirectory,
                     const std::string& link) {
  dialog.Clear();
  stack.Push(pageDirectory, link, 0);
  for (const std::string& text : dialog.Logs()) {
    if (text.starts_with("Push():"))
      return text.substr(7);
  }
  return "";
}

struct PushCase {
  const char* pageDirectory;
  const char* link;
  const char* accepted;  // "" = rejected
};

class PushTable : public ::testing::TestWithParam<PushCase> {};

TEST_P(PushTable, ResolvesAndFilters) {
  RecordingDialog dialog;
  LinkStack stack("http://host/dir/");
  ASSERT_EQ(stack.BasePrefix(), "http://host/dir");
  const PushCase& c = GetParam();
  EXPECT_EQ(Accepted(stack, dialog, c.pageDirectory, c.link), c.accepted)
      << "page " << c.pageDirectory << " link " << c.link;
}

INSTANTIATE_TEST_SUITE_P(
    Links, PushTable,
    ::testing::Values(
        PushCase{"http://host/dir/", "a.htm", "http://host/dir/a.htm"},
        PushCase{"http://host/dir/", "./a.htm", "http://host/dir/a.htm"},
        PushCase{"http://host/dir", "/x.htm", "http://host/dir/x.htm"},
        PushCase{"http://host/dir/sub/", "../b.htm", "http://host/dir/b.htm"},
        PushCase{"http://host/dir/", "sub/../", "http://host/dir/sub/"},
        PushCase{"http://host/dir/", "a/./", "http://host/dir/a"},
        PushCase{"http://host/dir/", "page.htm#top", ""}, PushCase{"http://host/dir/", "#", ""},
        PushCase{"http://host/dir/", "MailTo:ana@host", ""},
        PushCase{"http://host/dir/", "JAVASCRIPT:go()", ""},
        PushCase{"http://host/dir/", "ftp://host/dir/f", ""},
        PushCase{"http://host/dir/", "news:comp.lang", ""},
        // A capital scheme is not recognised: the link is glued to the page directory.
        PushCase{"http://host/dir/", "HTTP://host/dir/x.htm",
                 "http://host/dir/HTTP://host/dir/x.htm"},
        PushCase{"http://host/dir/", "http://other/x.htm", ""},
        PushCase{"http://host/dir/", "http://other/?u=http://host/dir/x",
                 "http://other/?u=http://host/dir/x"},
        PushCase{"http://host/dir/", "http://host/directory/x.htm", "http://host/directory/x.htm"},
        PushCase{"http://host/dir/", "http://host/dir/a/b/../../c.htm", "http://host/dir/c.htm"},
        // The base prefix is tested before the collapse, which may then leave it.
        PushCase{"http://host/dir/", "../x.htm", "http://host/x.htm"},
        PushCase{"http://host/dir/", "", "http://host/dir/"}));

// Mended: only a link that starts with a scheme is absolute.
TEST(LinkStackFaults, LinkMerelyContainingSchemeIsRelative) {
  RecordingDialog dialog;
  LinkStack stack("http://host/dir/");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/dir/", "go.php?u=http://host/dir/x.htm"),
            "http://host/dir/go.php?u=http://host/dir/x.htm");
}

TEST(LinkStackFaults, AbsoluteHttpsLinkIsNotGluedToThePage) {
  RecordingDialog dialog;
  LinkStack stack("https://host/dir/");
  EXPECT_EQ(Accepted(stack, dialog, "https://host/dir/", "https://host/dir/s.htm"),
            "https://host/dir/s.htm");
  EXPECT_EQ(Accepted(stack, dialog, "https://host/dir/sub/", "../t.htm"), "https://host/dir/t.htm");
}

// Mended: "/.." is a parent step only as a whole segment, and never climbs above the server.
TEST(LinkStackFaults, ParentSegmentRules) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"http://host/dir/sub/../a.htm", "http://host/dir/a.htm"},
      {"http://host/dir/..foo/x", "http://host/dir/..foo/x"},
      {"http://host/../x.htm", "http://host/x.htm"},
      {"http://host/..", "http://host/"},
      {"http://host/..?q", "http://host/?q"},
      {"http://host//../x", "http://host/x"},
      {"http://host/a/..?q", "http://host/?q"},
      {"http://host/a/b/..?q", "http://host/a?q"},
      {"https://host/a/b/../c", "https://host/a/c"},
      {"/../x", "/../x"},  // no server and nothing before it: cannot be collapsed
  };
  for (const auto& c : cases)
    EXPECT_EQ(LinkStack::CollapseParentSegment(c.in), c.out) << c.in;
}

TEST(LinkStackFaults, ClimbingAboveTheServerEndsAtTheServer) {
  RecordingDialog dialog;
  LinkStack stack("http://host/");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/", "../../../x.htm"), "http://host/x.htm");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/", "..foo/x.htm"), "http://host/..foo/x.htm");
}

TEST(LinkStackFaults, UncollapsibleParentSegmentIsDroppedInsteadOfLooping) {
  RecordingDialog dialog;
  LinkStack stack("start");  // no "/" at all: an empty base prefix
  EXPECT_EQ(Accepted(stack, dialog, "", "/../x"), "");
  EXPECT_EQ(Accepted(stack, dialog, "", "a/../x"), "");
}

// Mended: a link is a duplicate by its collapsed form too.
TEST(LinkStackFaults, SiblingPagesLinkingThroughParentAreQueuedOnce) {
  RecordingDialog dialog;
  LinkStack stack("http://host/dir/");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/dir/a/", "x.htm"), "http://host/dir/a/x.htm");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/dir/b/", "y.htm"), "http://host/dir/b/y.htm");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/dir/b/", "../a/x.htm"), "");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/dir/a/", "../b/y.htm"), "");
  EXPECT_EQ(stack.AcceptedCount(), 2);
}

TEST(LinkStack, DuplicatesAreRejectedEvenAfterPopAndCaseCounts) {
  RecordingDialog dialog;
  LinkStack stack("http://host/dir/");
  EXPECT_NE(Accepted(stack, dialog, "http://host/dir/", "a.htm"), "");
  stack.Pop();
  EXPECT_EQ(Accepted(stack, dialog, "http://host/dir/", "a.htm"), "");
  EXPECT_EQ(Accepted(stack, dialog, "http://host/dir/", "A.htm"), "http://host/dir/A.htm");
  EXPECT_TRUE(stack.WasAccepted("http://host/dir/a.htm"));
  EXPECT_FALSE(stack.WasAccepted("http://host/dir/b.htm"));
}

TEST(LinkStack, CapitalBasePrefixRejectsEveryPageLink) {
  RecordingDialog dialog;
  LinkStack stack("http://Host/dir/");
  EXPECT_EQ(Accepted(stack, dialog, "http://Host/dir/", "a.htm"), "");
}

TEST(LinkStack, BypassSkipsEveryFilterButKeepsResolution) {
  RecordingDialog dialog;
  LinkStack stack("http://host/dir/");
  stack.Push("http://elsewhere/", "http://elsewhere/p.htm#x", 1);
  stack.Push("http://elsewhere/", "http://elsewhere/p.htm#x", 1);
  stack.Push("http://host/", "./sub/./", 1);
  EXPECT_EQ(stack.AcceptedCount(), 3);
  EXPECT_EQ(stack.Pop(), "http://host/sub");
}

TEST(LinkStack, OrderPutsHtmlNamesAtTheTailAndTheRestAtTheHead) {
  RecordingDialog dialog;
  LinkStack stack("http://host/");
  for (const char* link : {"a.htm", "b.gif", "c.htm", "d.jpg"})
    stack.Push("http://host/", link, 0);
  std::vector<std::string> pops;
  while (!stack.IsEmpty())
    pops.push_back(stack.Pop());
  EXPECT_EQ(pops, (std::vector<std::string>{"http://host/d.jpg", "http://host/b.gif",
                                            "http://host/a.htm", "http://host/c.htm"}));
}

TEST(LinkStack, CountersAndLogLinesAtEachStep) {
  RecordingDialog dialog;
  {
    LinkStack stack("http://host/dir/page.htm");
    EXPECT_EQ(stack.BasePrefix(), "http://host/dir");
    stack.Push("http://host/dir/", "a.gif", 0);
    stack.Push("http://host/dir/", "b.htm", 0);
    stack.Push("http://host/dir/", "c.htm", 0);
    EXPECT_EQ(stack.Pop(), "http://host/dir/a.gif");
    dialog.Clear();
  }
  EXPECT_EQ(dialog.Events(),
            (std::vector<std::string>{"text 1008 1", "pos 1007 1",
                                      "text 1004 Pop():http://host/dir/b.htm", "text 1008 0",
                                      "pos 1007 0", "text 1004 Pop():http://host/dir/c.htm"}));
}

TEST(LinkStack, ConstructionAndFirstPushEvents) {
  RecordingDialog dialog;
  LinkStack stack("http://host/");
  stack.Push("http://host/", "x.htm", 0);
  EXPECT_EQ(dialog.Events(),
            (std::vector<std::string>{"range 1007 0 128", "text 1008 0",
                                      "text 1004 Push():http://host/x.htm", "text 1008 1",
                                      "pos 1007 1", "text 1009 1"}));
}

TEST(LinkStack, RelativePart) {
  RecordingDialog dialog;
  LinkStack stack("http://host/docs/");
  EXPECT_EQ(stack.RelativePart("http://host/docs/a/b.gif"), "/a/b.gif");
  EXPECT_EQ(stack.RelativePart("http://host/docs2/p.htm"), "2/p.htm");
  EXPECT_EQ(stack.RelativePart("http://host/other/p.htm"), "");
  LinkStack noPrefix("nothing");
  EXPECT_EQ(noPrefix.RelativePart("anything"), "anything");
}

TEST(LinkStack, ExtensionRules) {
  EXPECT_EQ(FileExtension("http://host.example/dir/"), "example/dir/");
  EXPECT_EQ(FileExtension("noext"), "");
  for (const char* yes : {"a.htm", "a.html", "/x/y.shtml", "~index.htm"}) {
    EXPECT_TRUE(IsHtmlName(yes)) << yes;
  }
  for (const char* no : {"a.HTM", "a.Html", "a.htm?x=1", "http://host.example/dir/", "a.gif", ""}) {
    EXPECT_FALSE(IsHtmlName(no)) << no;
  }
}

// Any mix of slashes, dots, fragments and schemes: Push ends, and every link it accepts maps to
// a local path that stays under the mirror directory.
TEST(LinkStackProperty, GeneratedLinksStayUnderTheMirror) {
  const char* pieces[] = {"/", "..", ".", "#",     "http://", "https://", "HTTP://", "host", "dir",
                          "a", "B",  "?", "x.htm", "./",      "../",      "//",      "%2e"};
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> count(0, 12);
  RecordingDialog dialog;
  LinkStack stack("http://host/dir/");
  const std::string mirror = "/save/host/dir";
  const char* pages[] = {"http://host/dir/", "http://host/dir/a/b/", "http://host/dir"};
  for (int i = 0; i < 20000; ++i) {
    std::string link;
    for (int n = count(random); n > 0; --n)
      link += pieces[pick(random)];
    stack.Push(pages[i % 3], link, 0);
  }
  int checked = 0;
  while (!stack.IsEmpty()) {
    std::string url = stack.Pop();
    std::string rel = stack.RelativePart(url);
    if (rel.empty())
      continue;
    std::string local = LocalPathOf(url, rel, mirror);
    EXPECT_TRUE(local.starts_with(mirror)) << url;
    EXPECT_FALSE(HasParentSegment(local)) << url << " -> " << local;
    ++checked;
  }
  EXPECT_GT(checked, 100);
}

}  // namespace

// The order a crawl of a random site takes its links in: each page links a picture and five
// pages, some found again nearer the start.
std::vector<std::string> CrawlOrder(bool breadthFirst, const LinkStack::SpillOpener& opener) {
  RecordingDialog dialog;
  LinkStack stack("http://host/");
  if (opener)
    stack.SetSpill(opener, 3);
  if (breadthFirst)
    stack.SetBreadthFirst();
  std::mt19937 random(41);
  stack.Push("", "http://host/p0.htm", 1);
  std::vector<std::string> order;
  while (!stack.IsEmpty()) {
    const int depth = stack.NextDepth();
    LinkStack::Entry entry = stack.PopEntry();
    EXPECT_EQ(entry.depth, breadthFirst ? depth : entry.depth);
    order.push_back(entry.url + " " + std::to_string(entry.depth) + " " +
                    (entry.referrer ? *entry.referrer : "-") + (entry.requisite ? " r" : ""));
    // Some pages are reached by a shorter road than the one they were found by.
    stack.SetPageDepth(std::max(0, entry.depth - static_cast<int>(random() % 3)));
    stack.SetPage(entry.url);
    for (int k = 0; k < 6 && entry.url.ends_with(".htm"); ++k) {
      const std::string n = std::to_string(random() % 4000);
      stack.Push("http://host/", k == 0 ? "pic" + n + ".gif" : "p" + n + ".htm", 0, k == 0);
    }
  }
  return order;
}

// Past their bound, pending links wait on disk and come back in the order, at the depths and
// with the referrers they would have had in memory; without a file for them, in memory.
TEST(LinkStack, SpilledLinksKeepTheirOrderDepthsAndReferrers) {
  TempDir temp;
  ConfinedDirectory directory(temp.Path());
  size_t spills = 0;
  const LinkStack::SpillOpener toDisk = [&] {
    ++spills;
    return SpoolFile::Open(directory);
  };
  for (bool breadthFirst : {false, true}) {
    const std::vector<std::string> plain = CrawlOrder(breadthFirst, nullptr);
    EXPECT_GT(plain.size(), 4000u);
    EXPECT_EQ(CrawlOrder(breadthFirst, toDisk), plain) << breadthFirst;
    EXPECT_EQ(CrawlOrder(breadthFirst, [] { return std::unique_ptr<SpoolFile>(); }), plain);
  }
  EXPECT_GT(spills, 2u);
}
