// How files are named when pages are read as the web is read.
#include <gtest/gtest.h>

#include <functional>

#include "crawl/rules/web_names.h"

namespace {

NamingPlan With(const std::function<void(NamingPlan&)>& change) {
  NamingPlan naming;
  change(naming);
  return naming;
}

TEST(WebNames, EachAddressHasTheNameItsOptionsGiveIt) {
  const NamingPlan plain;
  const NamingPlan windows = With([](NamingPlan& n) { n.windows = true; });
  const struct {
    const char* url;
    NamingPlan naming;
    const char* below;  // the save-to directory
  } rows[] = {
      {"http://h:8/docs/intro", plain, "h:8/docs/intro"},
      {"http://h/docs/", plain, "h/docs/~index.htm"},
      {"http://h", plain, "h/~index.htm"},
      {"http://h/a/b?x=1/2#top", plain, "h/a/b?x=1%2F2"},
      {"http://h/a/../b", plain, "h/a/%2E%2E/b"},
      {"http://h/a/", With([](NamingPlan& n) { n.defaultPage = "index.html"; }), "h/a/index.html"},
      {"http://h/a/b", With([](NamingPlan& n) { n.hostDirectories = false; }), "a/b"},
      {"http://h/a/b/c.png", With([](NamingPlan& n) { n.directories = false; }), "c.png"},
      {"http://h/a/b/c/d", With([](NamingPlan& n) { n.cutDirs = 2; }), "h/c/d"},
      {"http://h/a/d", With([](NamingPlan& n) { n.cutDirs = 5; }), "h/d"},
      {"http://h/a/b/c/d", With([](NamingPlan& n) {
         n.cutDirs = 1;
         n.hostDirectories = false;
       }),
       "b/c/d"},
      {"http://h/A/Read Me.TXT", With([](NamingPlan& n) { n.lowercase = true; }),
       "h/a/read me.txt"},
      {"http://h/a/b.txt", With([](NamingPlan& n) { n.uppercase = true; }), "H/A/B.TXT"},
      {"http://h/a\x01"
       "b",
       With([](NamingPlan& n) { n.escapeControl = true; }), "h/a%01b"},
      {"http://h/caf\xc3\xa9", With([](NamingPlan& n) { n.ascii = true; }), "h/caf%C3%A9"},
      {"http://h/a:b*c|d.\"e\"<f>", windows, "h/a%3Ab%2Ac%7Cd.%22e%22%3Cf%3E"},
      {"http://h/page.php?id=1", windows, "h/page.php@id=1"},
      {"http://h/con.txt", windows, "h/con_.txt"},
      {"http://h/LPT1", windows, "h/LPT1_"},
      {"http://h/name. ", windows, "h/name.%20"},
      {"http://h:8/x", windows, "h+8/x"},
      {"http://user:secret@h/x", plain, "h/x"},
      {"http://h/my%20file%2Fx%00.txt", plain, "h/my file%2Fx%00.txt"},
      {"http://h/%2e%2E/a%0Ab", plain, "h/%2E%2E/a%0Ab"},
      {"http://h/a%0Ab", With([](NamingPlan& n) { n.escapeControl = false; }), "h/a\nb"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url);
    EXPECT_EQ(WebLocalPath(row.url, "/save", row.naming), std::string("/save/") + row.below);
  }
  // A name too long for a file system keeps its start and type; two such names stay two.
  const std::string a = WebLocalPath("http://h/" + std::string(300, 'a') + ".html", "", plain);
  const std::string b = WebLocalPath("http://h/" + std::string(299, 'a') + "b.html", "", plain);
  EXPECT_EQ(a.size() - a.rfind('/') - 1, 255u);
  EXPECT_TRUE(a.ends_with(".html") && a.find("/aaaa") != std::string::npos) << a;
  EXPECT_NE(a, b);
}

TEST(WebNames, ContentDispositionGivesALastPartOrNothing) {
  const NamingPlan plain;
  const struct {
    const char* value;
    std::optional<std::string> name;
  } rows[] = {
      {"attachment; filename=\"tool.tar.gz\"", "tool.tar.gz"},
      {"attachment; filename=tool.zip; size=3", "tool.zip"},
      {"attachment; filename=\"a.txt\"; filename*=UTF-8''caf%C3%A9.txt", "caf\xc3\xa9.txt"},
      {"attachment; filename=\"../../etc/passwd\"", "passwd"},
      {"attachment; filename=\"C:\\\\evil\\\\x.exe\"", "x.exe"},
      {"attachment; filename*=UTF-8''..%2F..%2Fx", "x"},
      {"attachment; filename=\"..\"", std::nullopt},
      {"attachment; filename*=UTF-8''a%00b", "a%00b"},
      {"attachment; filename=\"\"", std::nullopt},
      {"inline", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(DispositionName(row.value, plain), row.name);
  }
}

}  // namespace
