// Converted links: each reference's own bytes change, written so that they mean the new address
// where they stand, and nothing else of the file does.
#include "crawl/copy/link_converter.h"

#include "crawl/read/page_reader.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// Replaces the addresses named in the map, fragment kept; leaves the others.
std::string Rewrite(std::string_view text, FileKind kind,
                    const std::map<std::string, std::string>& addresses) {
  return RewriteReferences(
      text, kind, "http://h/d/page.htm",
      [&](const FoundReference& reference) -> std::optional<std::string> {
        auto found = addresses.find(reference.resolved);
        if (found == addresses.end())
          return std::nullopt;
        return found->second + reference.fragment;
      },
      true);
}

TEST(RewriteReferences, EachKindOfReferenceChangesAloneAndMeansTheNewAddress) {
  const std::map<std::string, std::string> to = {
      {"http://h/d/sub/", "sub/~index.htm"},
      {"http://h/d/a.gif", "img/a b.gif"},
      {"http://h/d/b.gif", "b.gif"},
      {"http://h/d/bg.png", "pics/bg(1).png"},
      {"http://h/d/two.htm", "http://h/d/two.htm?a=1&b='2'"},
      {"http://h/d/p.php", "p.php.html"},
      {"http://h/d/s.css", "../s.css"},
      {"http://h/d/q.png", "it's/q (2).png"},
      {"http://h/d/i.png?a=1&b=2", "i.png%3Fa=1&b=2.png"},
      {"http://h/d/x1.png", "http://o/</style><svg/onload=alert`1`>.png"},
      {"http://h/d/x2.png", "http://o/</noscript><svg onload=alert(2)>.png"},
      {"http://h/d/x3.png", "http://o/${alert(1)}.png"},
  };
  struct {
    FileKind kind;
    const char* before;
    const char* after;
  } cases[] = {
      {FileKind::Page, "<a href=\"sub/\">x</a>", "<a href=\"sub/~index.htm\">x</a>"},
      {FileKind::Page, "<IMG SRC=a.gif ALT=x>", "<IMG SRC=img/a%20b.gif ALT=x>"},
      {FileKind::Page, "<a href='two.htm'>", "<a href='http://h/d/two.htm?a=1&amp;b=%272%27'>"},
      {FileKind::Page, "<a href=two.htm>", "<a href=http://h/d/two.htm?a&#61;1&amp;b&#61;%272%27>"},
      {FileKind::Page, "<a href=\"p.php#top\">", "<a href=\"p.php.html#top\">"},
      {FileKind::Page, "<a href=\"p&#46;php\">", "<a href=\"p.php.html\">"},
      {FileKind::Page, "<img srcset=\"a.gif 1x, b.gif 2x\">",
       "<img srcset=\"img/a%20b.gif 1x, b.gif 2x\">"},
      {FileKind::Page, "<p style=\"background:url(bg.png)\">",
       "<p style=\"background:url(pics/bg%281%29.png)\">"},
      {FileKind::Page, "<style>p{background:url('bg.png')}</style>",
       "<style>p{background:url('pics/bg%281%29.png')}</style>"},
      {FileKind::Page, "<p style='background:url(q.png)'>",
       "<p style='background:url(it%27s/q%20%282%29.png)'>"},
      {FileKind::Page, "<img srcset=\"i.png?a=1&amp;b=2 1x, b.gif 2x\">",
       "<img srcset=\"i.png%3Fa=1&amp;b=2.png 1x, b.gif 2x\">"},
      {FileKind::Page, "<p style='background:url(&quot;bg.png&quot;)'>",
       "<p style='background:url(&quot;pics/bg%281%29.png&quot;)'>"},
      // Addresses that would end their element, or a script's string, where they are written.
      {FileKind::Page, "<style>p{background:url(\"x1.png\")}</style>",
       "<style>p{background:url(\"http://o/%3C/style%3E%3Csvg/onload=alert%601%60%3E.png\")}"
       "</style>"},
      {FileKind::Page, "<noscript><img src=\"x2.png\"></noscript>",
       "<noscript><img src=\"http://o/%3C/noscript%3E%3Csvg%20onload=alert%282%29%3E.png\">"
       "</noscript>"},
      {FileKind::Page, "<img src=\"x3.png\">", "<img src=\"http://o/$%7Balert%281%29%7D.png\">"},
      {FileKind::Page, "<script><!--<script></script>'<img src=\"x2.png\">'//--></script>",
       "<script><!--<script></script>'<img src=\"x2.png\">'//--></script>"},
      {FileKind::Page, "<base href=/d/ target=_self><a href=\"#top\">",
       "<base href=\"\" target=_self><a href=\"#top\">"},
      {FileKind::Page, "<base href=\"/d/\"><link rel=stylesheet href=s.css>",
       "<base href=\"\"><link rel=stylesheet href=../s.css>"},
      {FileKind::Page, "<base href=\"/d/\"><a href=\"#top\">", "<base href=\"\"><a href=\"#top\">"},
      {FileKind::Page, "<!-- <img src=a.gif> --><script>x='<img src=a.gif>'</script>",
       "<!-- <img src=a.gif> --><script>x='<img src=a.gif>'</script>"},
      {FileKind::Stylesheet, "@import \"s.css\";\np { background: url( bg.png ) }",
       "@import \"../s.css\";\np { background: url( pics/bg%281%29.png ) }"},
      {FileKind::Other, "<a href=\"sub/\">", "<a href=\"sub/\">"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Rewrite(c.before, c.kind, to), c.after) << c.before;
    EXPECT_EQ(PageTags(c.before), PageTags(c.after)) << c.before;
  }
}

// A stop asked while a page's references are looked up ends the look-ups there: a page of
// millions of links would otherwise be gone through to its end.
TEST(RewriteReferences, AStopEndsTheLookUpsOfThePageInHand) {
  for (const FileKind kind : {FileKind::Page, FileKind::Stylesheet}) {
    std::string text;
    for (int i = 0; i < 100; ++i)
      text += kind == FileKind::Page ? "<a href=\"p" + std::to_string(i) + ".htm\">"
                                     : "b{background:url(p" + std::to_string(i) + ".png)}";
    std::atomic<int> stop = 0;
    int asked = 0;
    RewriteReferences(
        text, kind, "http://h/",
        [&](const FoundReference&) -> std::optional<std::string> {
          if (++asked == 3)
            stop = 1;
          return std::nullopt;
        },
        true, &stop);
    EXPECT_EQ(asked, 3);
  }
}

TEST(RelativeAddress, BetweenLocalFilesAndBack) {
  struct {
    const char* to;
    const char* relative;
  } cases[] = {
      {"/s/h/d/img/x.gif", "img/x.gif"},
      {"/s/h/other/y.css", "../other/y.css"},
      {"/s/h2:80/z.png", "../../h2:80/z.png"},
      {"/s/h/d/a:b.html", "./a:b.html"},
      {"/s/h/d/p.php?x=1", "p.php%3Fx=1"},
      {"/s/h/d/100% #1.htm", "100%25%20%231.htm"},
      {"/s/h/d/a.html", "a.html"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RelativeAddress("/s/h/d/a.html", c.to), c.relative) << c.to;
    EXPECT_EQ(LocalTargetOf("/s/h/d/a.html", c.relative).value_or("(none)"), c.to) << c.to;
  }
  for (const char* notLocal : {"http://x/y", "/abs.gif", "//h/x", "mailto:a@b", "../../../../x"})
    EXPECT_FALSE(LocalTargetOf("/s/h/d/a.html", notLocal)) << notLocal;
  EXPECT_EQ(LocalTargetOf("/s/h/d/a.html", "img/x.gif#part"), "/s/h/d/img/x.gif");
}

TEST(KindOf, ByTypeThenByName) {
  EXPECT_EQ(KindOf("text/html; charset=utf-8", "/x/p.php"), FileKind::Page);
  EXPECT_EQ(KindOf("TEXT/CSS", "/x/s"), FileKind::Stylesheet);
  EXPECT_EQ(KindOf("", "/x/a.HTML"), FileKind::Page);
  EXPECT_EQ(KindOf("", "/x.d/a"), FileKind::Other);
  EXPECT_EQ(KindOf("image/png", "/x/a.png"), FileKind::Other);
}

}  // namespace
