// robots.txt as a crawler named Kelvane reads it: groups, the longest rule, "*" and "$".
#include "crawl/robots_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(RobotsRules, GroupsRulesAndMatches) {
  const std::string text =
      "# a comment\n"
      "User-agent: otherbot\n"
      "Disallow: /\n"
      "\n"
      "User-Agent: *\n"
      "Disallow: /private/\n"
      "Allow: /private/open\n"
      "Disallow: /*.pdf$\n"
      "Disallow: /tmp*x\n"
      "Sitemap: http://example.test/map.xml\n"
      "Disallow:   # nothing\n";
  const RobotsRules rules = RobotsRules::Parse(text, "Kelvane");
  const struct {
    const char* path;
    bool allowed;
  } cases[] = {
      {"/", true},
      {"/private/", false},
      {"/private/a.htm", false},
      {"/private/open", true},  // the longer rule wins
      {"/private/opener", true},
      {"/doc.pdf", false},
      {"/doc.pdf?x=1", true},  // "$" is the end of the path and query
      {"/tmp/a/x", false},
      {"/tmp/a/y", true},
      {"/robots.txt", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(rules.Allows(c.path), c.allowed) << c.path;
}

TEST(RobotsRules, OurGroupsBeforeAnyonesAndTiesToAllow) {
  const std::string text =
      "User-agent: *\nDisallow: /\n\n"
      "User-agent: kelvane/2.0\nUser-agent: friend\nDisallow: /a\nAllow: /a\n\n"
      "User-agent: KELVANE\nDisallow: /b\n";
  const RobotsRules rules = RobotsRules::Parse(text, "Kelvane");
  EXPECT_TRUE(rules.Allows("/a/x"));  // equal length: allow
  EXPECT_FALSE(rules.Allows("/b"));   // both groups that name us count
  EXPECT_TRUE(rules.Allows("/c"));    // "*" does not apply once a group names us
  EXPECT_FALSE(RobotsRules::Parse(text, "Other").Allows("/c"));
  EXPECT_TRUE(RobotsRules::Parse("Disallow: /\n", "Kelvane").Allows("/x"));  // no group
  EXPECT_TRUE(RobotsRules::AllowAll().Allows("/x"));
  EXPECT_FALSE(RobotsRules::DisallowAll().Allows("/x"));
  EXPECT_TRUE(RobotsRules::DisallowAll().Allows("/robots.txt"));
  EXPECT_EQ(ProductToken(" Kelvane/1.3 (Linux)"), "Kelvane");
}

TEST(RobotsRules, HostilePatternsCostLittle) {
  std::string text = "User-agent: *\n";
  for (int i = 0; i < 2000; ++i)
    text += "Disallow: /" + std::string(300, '*') + "a*b$\n";
  const RobotsRules rules = RobotsRules::Parse(text, "Kelvane");
  EXPECT_TRUE(rules.Allows("/" + std::string(2000, 'a')));
}

}  // namespace
