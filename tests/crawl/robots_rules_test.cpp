// robots.txt as a crawler named Kelvane reads it: groups, the longest rule, "*" and "$".
#include "crawl/rules/robots_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

namespace {

// The rule of matching, said the slow way: "*" any run, "$" at the end the end of the path.
bool Reference(std::string_view pattern, std::string_view path, bool anchored) {
  if (pattern.empty())
    return !anchored || path.empty();
  if (pattern[0] == '*')
    return Reference(pattern.substr(1), path, anchored) ||
           (!path.empty() && Reference(pattern, path.substr(1), anchored));
  return !path.empty() && path[0] == pattern[0] &&
         Reference(pattern.substr(1), path.substr(1), anchored);
}

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

// The Crawl-delay of the group that applies, in milliseconds, at most ten minutes.
TEST(RobotsRules, CrawlDelayOfTheGroupThatApplies) {
  const struct {
    const char* text;
    std::optional<long> delayMs;
  } cases[] = {
      {"User-agent: *\nCrawl-delay: 2\n", 2000},
      {"User-agent: *\nCrawl-delay: 0.25\nDisallow: /x\n", 250},
      {"User-agent: *\nCrawl-delay: 5\n\nUser-agent: Kelvane\nDisallow: /a\n", std::nullopt},
      {"User-agent: other\nCrawl-delay: 9\n\nUser-agent: *\nCrawl-delay: 1\n", 1000},
      {"User-agent: *\nCrawl-delay: 99999999999999999999\n", 600000},
      {"User-agent: *\nCrawl-delay: soon\nCrawl-delay: -3\nCrawl-delay: 1e9\n", std::nullopt},
      {"Crawl-delay: 4\n", std::nullopt},  // in no group
  };
  for (const auto& c : cases)
    EXPECT_EQ(RobotsRules::Parse(c.text, "Kelvane").CrawlDelayMs(), c.delayMs) << c.text;
}

// Random patterns of a few letters, stars and an end mark, against random paths: one rule
// each, so the answer is whether it matches.
TEST(RobotsRules, MatchesAsTheRuleSays) {
  std::mt19937 random(7);
  const char letters[] = "ab*";
  for (int i = 0; i < 20000; ++i) {
    std::string pattern = "/";
    for (int n = static_cast<int>(random() % 7); n > 0; --n)
      pattern += letters[random() % 3];
    const bool anchored = random() % 3 == 0;
    std::string path = "/";
    for (int n = static_cast<int>(random() % 9); n > 0; --n)
      path += letters[random() % 2];
    const RobotsRules rules =
        RobotsRules::Parse("User-agent: *\nDisallow: " + pattern + (anchored ? "$" : ""), "K");
    EXPECT_EQ(!rules.Allows(path), Reference(pattern, path, anchored))
        << pattern << (anchored ? "$" : "") << " against " << path;
  }
}

// Many long patterns against a long path: the work stops at its budget, and then nothing is
// allowed, rather than taking seconds for each link.
TEST(RobotsRules, WorkStopsAtItsBudget) {
  std::string text = "User-agent: *\nAllow: /short\n";
  for (int i = 0; i < 2000; ++i)
    text += "Disallow: *" + std::string(1000, 'x') + std::to_string(i) + "\n";
  const RobotsRules rules = RobotsRules::Parse(text, "Kelvane");
  const std::string path = "/" + std::string(60000, 'x');
  int64_t budget = 1 << 20;
  EXPECT_EQ(rules.Judge(path, budget), RobotsRules::Answer::TooCostly);
  budget = 1 << 20;
  EXPECT_EQ(rules.Judge("/short", budget), RobotsRules::Answer::Allowed);
  EXPECT_GT(budget, 0);
  EXPECT_TRUE(rules.Allows(path));  // unbounded, it is worked out
}

// Plain rules cost what their comparisons read: a large file of them judges a page of two
// thousand links within one page's work. A run of stars is one star, and a rule written many
// times is matched once.
TEST(RobotsRules, WorkIsChargedAsDone) {
  std::string text = "User-agent: *\n";
  for (int i = 0; i < 1278; ++i)
    text += "Disallow: /private/section-" + std::to_string(i) + "/some/longer/path/below/it/\n";
  const RobotsRules plain = RobotsRules::Parse(text, "Kelvane");
  int64_t budget = int64_t{1} << 28;
  for (int i = 0; i < 2006; ++i) {
    EXPECT_EQ(plain.Judge("/private/section-x/page-" + std::to_string(i) + ".html", budget),
              RobotsRules::Answer::Allowed);
  }
  std::string stars = "User-agent: *\n";
  for (int i = 0; i < 200; ++i)
    stars += "Disallow: /" + std::string(2040, '*') + "z\n";
  const RobotsRules starred = RobotsRules::Parse(stars, "Kelvane");
  budget = 100000;
  EXPECT_EQ(starred.Judge("/" + std::string(60000, 'a'), budget), RobotsRules::Answer::Allowed);
  EXPECT_FALSE(starred.Allows("/az"));
}

TEST(RobotsRules, HostilePatternsCostLittle) {
  std::string text = "User-agent: *\n";
  for (int i = 0; i < 2000; ++i)
    text += "Disallow: /" + std::string(300, '*') + "a*b$\n";
  const RobotsRules rules = RobotsRules::Parse(text, "Kelvane");
  EXPECT_TRUE(rules.Allows("/" + std::string(2000, 'a')));
}

}  // namespace
