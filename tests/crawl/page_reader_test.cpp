#include "crawl/read/page_reader.h"
#include "crawl/read/character_references.h"

#include <gtest/gtest.h>

#include <random>

#include "crawl/read/stylesheet_reader.h"
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

// Markup that hides tags, and tags that are not whole, read as browsers read them.
TEST(PageReader, WhatIsNoTag) {
  struct {
    const char* html;
    Strings links;
  } cases[] = {
      {"<script>document.write('<img src=x>')</script><img src=after>", {"after"}},
      {"<SCRIPT>a</ScRiPt ><img src=after>", {"after"}},
      {"<script>a</scripts><img src=no></script/><img src=after>", {"after"}},
      {"<textarea><img src=no></textarea><title><a href=no></TITLE>"
       "<xmp><img src=no></xmp><img src=after>",
       {"after"}},
      {"<noscript><img src=ns></noscript>", {"ns"}},
      // A browser with scripts ends a <noscript> at its first end tag, wherever it stands.
      {"<noscript><img src=\"a</noscript><img src=b>\"></noscript>", {"b"}},
      {"<noscript><noscript><img src=ns></noscript><img src=after>", {"ns", "after"}},
      // In a script, "<!--" then "<script>" hide the next "</script>"; "-->" ends that.
      {"<script><!--<script></script><img src=no></script><img src=after>", {"after"}},
      {"<script><!--<script>--></script><img src=after>", {"after"}},
      {"<script><!--</script><img src=after>", {"after"}},
      {"<script><!--><img src=no></script><img src=after>", {"after"}},
      {"<script><!--<scripty></script><img src=after>", {"after"}},
      // SVG and MathML are markup all through, but for a CDATA section and their integration
      // points; an HTML element such as <p> or <img> ends them.
      {"<svg><noscript><p><script>t=`</noscript><img src=no>`</script><img src=after>", {"after"}},
      {"<svg><script><![CDATA[ t=`</script><img src=no>` ]]></script><img src=after>", {"after"}},
      {"<svg><title><script>t='</title><img src=no>'</script></title></svg><img src=after>",
       {"after"}},
      {"<math><xmp><img src=a></xmp><svg><style><img src=b></style></svg>", {"a", "b"}},
      {"<math><mtext><mglyph><style><img src=a></style></mglyph><style><img src=no>", {"a"}},
      {"<svg><foreignObject><style>p{background:url(in.png)}</style></foreignObject></svg>",
       {"in.png"}},
      {"<!-- <img src=no> --><img src=after>", {"after"}},
      {"<!--><img src=a><!---><img src=b><!-- --!><img src=c>", {"a", "b", "c"}},
      {"<!-- <img src=no>", {}},
      {"<!DOCTYPE html><? <img src=no> ?><![CDATA[<img src=no>]]><img src=after>", {"after"}},
      {"</ <img src=no>><img src=after></><img src=after2>", {"after", "after2"}},
      {"</p <img src=no>><img src=after>", {"after"}},
      {"< img src=no><3 <img src=after>", {"after"}},
      {"<img src=a><img src=cut", {"a"}},
      {"<img src=a><img src=\"cut>", {"a"}},
      {"<a href=x <img src=y>", {"x"}},
      {"<img src=first SRC=second><IMG\tsrc='one'src=two>", {"first", "one"}},
      {"<img/src=a.png><img src=b.png/>", {"a.png", "b.png/"}},
      {"<a href=ok><plaintext><a href=no>", {"ok"}},
      {"<style>p { background: url(in.png) }", {"in.png"}},
  };
  for (const auto& c : cases) {
    Strings found;
    for (const PageReference& reference : ReadPage(c.html).references)
      found.push_back(reference.link);
    EXPECT_EQ(found, c.links) << c.html;
  }
}

TEST(PageReader, CharacterReferences) {
  struct {
    const char* value;
    const char* link;
  } cases[] = {
      {"&#65;&#x42;&#X43", "ABC"},
      {"&#233;&#xe9;&#128;", "\xC3\xA9\xC3\xA9\xE2\x82\xAC"},
      {"a&#0;&#x110000;&#xD800;&#99999999999;",
       "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"&amp;&lt;&gt;&quot;&apos;&AMP;", "&<>\"'&"},
      {"&eacute;&copy;&nbsp;&THORN;", "\xC3\xA9\xC2\xA9\xC2\xA0\xC3\x9E"},
      {"x&copy y&amp", "x\xC2\xA9 y&"},
      {"?a=1&copy=2&copyx&eacute2", "?a=1&copy=2&copyx&eacute2"},
      {"&foo;&apos&#;&#x;&", "&foo;&apos&#;&#x;&"},
  };
  for (const auto& c : cases) {
    const std::string html = std::string("<a href=\"") + c.value + "\">";
    EXPECT_EQ(Links(ReadPage(html), true), Strings{c.link}) << c.value;
  }
}

// Where each reference stands: the raw bytes a rewriter would replace (in a value written with
// character references, its place in the value decoded), and the quote around them.
TEST(PageReader, Positions) {
  struct {
    const char* html;
    Strings raw;
    std::string quotes;  // '-' for none
  } cases[] = {
      {"<a href=\" x.htm \">", {" x.htm "}, "\""},
      {"<img src='a&amp;b.png'><IMG SRC=u.png>", {"a&amp;b.png", "u.png"}, "'-"},
      {"<img srcset=\"s1.png 1x,  s2.png 2x\">", {"s1.png", "s2.png"}, "\"\""},
      {"<img srcset='a&amp;b.png 1x'>", {"decoded a&b.png"}, "'"},
      {"<p style=\"background:url( 'q.png' ); x:url(r\\2e png)\">", {"q.png", "r\\2e png"}, "\"\""},
      {"<p style='background:url(&quot;q.png&quot;)'>", {"decoded q.png"}, "'"},
      {"<style>@import \"i.css\"; p{background:url(b.png)}</style>", {"i.css", "b.png"}, "--"},
  };
  for (const auto& c : cases) {
    const std::string html = c.html;
    const PageLinks links = ReadPage(html);
    Strings raw;
    std::string quotes;
    for (const PageReference& reference : links.references) {
      if (reference.inDecodedValue) {
        const std::string value = DecodeCharacterReferences(
            html.substr(reference.valueBegin, reference.valueEnd - reference.valueBegin));
        raw.push_back("decoded " + value.substr(reference.begin, reference.end - reference.begin));
      } else {
        raw.push_back(html.substr(reference.begin, reference.end - reference.begin));
      }
      quotes += reference.quote != 0 ? reference.quote : '-';
    }
    EXPECT_EQ(raw, c.raw) << html;
    EXPECT_EQ(quotes, c.quotes) << html;
  }
}

// Pages made to be slow to read are read in one pass; a reader that went back over them would
// take hours here, not a fraction of a second.
TEST(PageReader, HostilePagesEnd) {
  const size_t size = 4 << 20;
  auto repeat = [&](std::string_view piece) {
    std::string text;
    while (text.size() < size)
      text += piece;
    return text;
  };
  struct {
    std::string html;
    size_t references;
  } cases[] = {
      {repeat("<div></span>"), 0},
      {repeat("<a href="), 0},
      {repeat("<!--"), 0},
      {"<img src=\"" + repeat("&#") + "\">", 1},
      {repeat("<script>"), 0},
      {"<img" + repeat(" a=1") + " src=x>", 1},
      {"<style>" + repeat("url("), 0},
      {"<style>" + repeat("url(x)"), (size + 5) / 6},
      {repeat("<img src=x srcset='y 1x'>"), (size + 24) / 25 * 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReadPage(c.html).references.size(), c.references) << c.html.substr(0, 20);
  for (const char* piece : {"url(", "url('\n", "@import \"x\n", "@import", "/*", "\"\n"})
    EXPECT_TRUE(ReadStylesheet(repeat(piece)).empty()) << piece;
}

TEST(PageReader, StopsWhenAsked) {
  const std::string html = [] {
    std::string text;
    for (int i = 0; i < 100000; ++i)
      text += "<img src=a.png>";
    return text;
  }();
  const std::atomic<int> stop{1};
  const size_t read = ReadPage(html, &stop).references.size();
  EXPECT_GT(read, 0u);
  EXPECT_LT(read, 100000u);
  const std::string css = "p{}" + std::string(html.size(), ' ') + "url(a)";
  EXPECT_TRUE(ReadStylesheet(css, &stop).empty());
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
      {"@import 'cut", {"cut"}},
      // Nothing a browser would load: white space, a quote or a parenthesis inside an unquoted
      // url, a string cut by a line end.
      {"p { background: url(a b.png) } q { background: url(ok.png ) }", {"ok.png"}},
      {"p { background: url(a\"b.png) url(a(b\\).png) url(c\\).png) }", {"c).png"}},
      {"@import 'cut\n'; p { background: url(\"cut\n\") }", {}},
      {"p { content: \"a\\\n url(no.png)\" }", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReadStylesheet(c.css), c.links) << c.css;
}

TEST(StylesheetReader, Positions) {
  const std::string css = "@import 'a.css';b{x:url(  b\\2e png ) url(\"c.png\")";
  Strings raw;
  for (const StylesheetLink& link : ReadStylesheetLinks(css))
    raw.push_back(css.substr(link.begin, link.end - link.begin));
  EXPECT_EQ(raw, (Strings{"a.css", "b\\2e png", "c.png"}));
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
      {"http://alice:pw@h:81/x", "http://h:81/x"},  // a login is no part of the address
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
  EXPECT_EQ(ResolvePlainLink(page, "b.gif"), "http://h:81/docs/a/b.gif");  // the quick road
  EXPECT_FALSE(ResolvePlainLink(page, "//other/x.png"));
  EXPECT_EQ(ResolvePlainLink(page, "https://o.x/a/../b?c=d#e"), "https://o.x/b?c=d");
  EXPECT_EQ(OriginOf("http://h/x"), "http://h:80");
  EXPECT_EQ(OriginOf("HTTPS://h:8443/"), "https://h:8443");
  EXPECT_EQ(OriginOf("https://a.b/c?d"), "https://a.b:443");
  EXPECT_EQ(OriginOf("http://[::1]:8/"), "http://[::1]:8");
  EXPECT_FALSE(OriginOf("ftp://h/"));
  // What a browser sends as the Referer of a page's file.
  EXPECT_EQ(BrowserReferrer("http://h/d/p.htm?q", "http://h:80/x.png"), "http://h/d/p.htm?q");
  EXPECT_EQ(BrowserReferrer("https://h:8443/d/p.htm", "https://o/x.png"), "https://h:8443/");
  EXPECT_EQ(BrowserReferrer("https://h/p.htm", "http://h/x.png"), "");
  EXPECT_EQ(BrowserReferrer("", "http://h/"), "");
}

// Wherever the quick road for plain links applies, it gives what libcurl's reading gives.
TEST(ResolveLink, PlainLinksAsLibcurlReadsThem) {
  std::mt19937 random(11);
  const std::string alphabet = "ab./?=&#-";
  const auto text = [&](size_t most) {
    std::string t(random() % (most + 1), ' ');
    for (char& c : t)
      c = alphabet[random() % alphabet.size()];
    return t;
  };
  int applied = 0;
  for (int i = 0; i < 100000; ++i) {
    const char* hosts[] = {"http://h.x:81/",  "https://h/",         "http://127.0.0.1/",
                           "http://127.1:8/", "http://0x7f.0.0.1/", "http://2130706433/",
                           "http://h:65536/", "http://1.2.3/",      "http://3com.x/"};
    const std::string base = hosts[i % std::size(hosts)] + text(10);
    const std::string link = (i % 3 == 0   ? "/"
                              : i % 5 == 1 ? hosts[random() % std::size(hosts)]
                                           : "") +
                             text(10);
    if (std::optional<std::string> plain = ResolvePlainLink(base, link)) {
      ++applied;
      EXPECT_EQ(*plain, ResolveLinkWithCurl(base, link).value_or("(none)")) << base << " " << link;
    }
  }
  EXPECT_GT(applied, 2000);
}

}  // namespace
