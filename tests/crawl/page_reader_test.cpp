#include "crawl/page_reader.h"

#include <gtest/gtest.h>

#include "crawl/stylesheet_reader.h"
#include "platform/url_resolve.h"

namespace {

using Strings = std::vector<std::string>;

Strings Links(const PageLinks& links, bool pages) {
  Strings found;
  for (const PageReference& reference : links.references) {
    if (reference.page == pages)
      found.push_back(reference.link);
  }
  return found;
}

// Each kind of reference, written as pages are written: any letter case, quoted or not, over
// several lines, with character references.
TEST(PageReader, EveryKindOfReference) {
  struct {
    const char* html;
    Strings needed;
    Strings pages;
  } cases[] = {
      {"<IMG SRC=a.gif>", {"a.gif"}, {}},
      {"<img\n  src = \"b&amp;c.gif\"\n>", {"b&c.gif"}, {}},
      {"<img srcset=\"x1.gif 1x, x2.gif 2x\" src=x.gif>", {"x.gif", "x1.gif", "x2.gif"}, {}},
      {"<picture><source srcset='w.webp 300w,w2.webp 600w'><img src=p.jpg></picture>",
       {"w.webp", "w2.webp", "p.jpg"},
       {}},
      {"<link rel=stylesheet href=s.css><link rel='shortcut icon' href=f.ico>"
       "<link rel=preload href=pre.js><link rel=canonical href=no.htm>",
       {"s.css", "f.ico", "pre.js"},
       {}},
      {"<script src=j.js></script><video src=v.mp4 poster=v.jpg><track src=t.vtt></video>"
       "<audio src=a.ogg></audio><embed src=e.swf><object data=o.svg></object>",
       {"j.js", "v.mp4", "v.jpg", "t.vtt", "a.ogg", "e.swf", "o.svg"},
       {}},
      {"<input type=IMAGE src=i.png><input type=text src=no.png>", {"i.png"}, {}},
      {"<body background=bg.gif>", {"bg.gif"}, {}},
      {"<style>@import 'i.css'; p { background: url(u.png) }</style>"
       "<p style=\"background:url('st.png')\">",
       {"i.css", "u.png", "st.png"},
       {}},
      {"<A HREF=p.htm#x>1</A><map><area href=m.htm></map><iframe src=f.htm></iframe>",
       {},
       {"p.htm#x", "m.htm", "f.htm"}},
      {"<frameset><frame src=fr.htm></frameset>", {}, {"fr.htm"}},
  };
  for (const auto& c : cases) {
    PageLinks links = ReadPage(c.html);
    EXPECT_EQ(Links(links, false), c.needed) << c.html;
    EXPECT_EQ(Links(links, true), c.pages) << c.html;
  }
  EXPECT_EQ(ReadPage("<base href='/root/'><base href=/second/>").base, "/root/");
  EXPECT_FALSE(ReadPage("<img src=x>").base);
}

TEST(PageReader, SrcsetCandidates) {
  EXPECT_EQ(SrcsetAddresses("a.png"), Strings{"a.png"});
  EXPECT_EQ(SrcsetAddresses(" a.png 1x , b.png 2x "), (Strings{"a.png", "b.png"}));
  EXPECT_EQ(SrcsetAddresses("a.png, b.png"), (Strings{"a.png", "b.png"}));
  EXPECT_EQ(SrcsetAddresses("a.png,b.png"), Strings{"a.png,b.png"});  // a comma inside is the URL's
  EXPECT_EQ(SrcsetAddresses("data:image/png;base64,AAA= 1x"),
            (Strings{"data:image/png;base64,AAA="}));
  EXPECT_EQ(SrcsetAddresses(""), Strings{});
}

TEST(StylesheetReader, UrlsAndImports) {
  struct {
    const char* css;
    Strings links;
  } cases[] = {
      {"@import \"a.css\"; @IMPORT 'b.css' screen;", {"a.css", "b.css"}},
      {"@import url(c.css);", {"c.css"}},
      {"p { background: URL( \"d.png\" ) } q { background: url(e.png) }", {"d.png", "e.png"}},
      {"/* url(no.png) */ p { content: \"url(no2.png)\" }", {}},
      {"p { background: url(\"sp\\61 ce.png\") }", {"space.png"}},
      {"p { background: url() } q { x: myurl(no.png) }", {}},
      {"p { background: url(unterminated.png", {"unterminated.png"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReadStylesheet(c.css), c.links) << c.css;
}

// Links resolve as browsers resolve them; the fragment goes, the link stays.
TEST(ResolveLink, AsBrowsersDo) {
  const std::string page = "http://h:81/docs/a/page.htm";
  struct {
    const char* link;
    const char* resolved;  // nullptr: no web address
  } cases[] = {
      {"b.gif", "http://h:81/docs/a/b.gif"},
      {"../c.css", "http://h:81/docs/c.css"},
      {"/root.js", "http://h:81/root.js"},
      {"//other/x.png", "http://other/x.png"},
      {"./d/./e/../f.htm#part", "http://h:81/docs/a/d/f.htm"},
      {"https://h:81/s.css", "https://h:81/s.css"},
      {"../../../../above.gif", "http://h:81/above.gif"},
      {"?q=1", "http://h:81/docs/a/page.htm?q=1"},
      {"mailto:a@b", nullptr},
      {"javascript:void(0)", nullptr},
      {"data:image/png;base64,AAA=", nullptr},
  };
  for (const auto& c : cases) {
    std::optional<std::string> resolved = ResolveLink(page, c.link);
    if (c.resolved == nullptr) {
      EXPECT_FALSE(resolved) << c.link;
    } else {
      EXPECT_EQ(resolved.value_or("(none)"), c.resolved) << c.link;
    }
  }
  EXPECT_EQ(OriginOf("http://h/x"), "http://h:80");
  EXPECT_EQ(OriginOf("HTTPS://h:8443/"), "https://h:8443");
  EXPECT_FALSE(OriginOf("ftp://h/"));
}

}  // namespace
