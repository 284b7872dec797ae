#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

std::optional<CommandLine> Parse(std::vector<std::string> arguments, std::string* error = nullptr) {
  std::string text;
  auto line = ParseCommandLine(arguments, text);
  if (error != nullptr)
    *error = text;
  return line;
}

TEST(CommandLine, OptionsAndTheirValues) {
  auto line = Parse({"--save-to", "/srv/m", "--verbose", "--connect-timeout=2.5", "--stall-timeout",
                     "7", "--ca-certificate", "ca.pem", "http://host/"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->url, "http://host/");
  EXPECT_EQ(line->saveTo, "/srv/m");
  EXPECT_TRUE(line->verbose);
  EXPECT_FALSE(line->quiet);
  EXPECT_EQ(line->plan.network.connectTimeoutMs, 2500);
  EXPECT_EQ(line->plan.network.stallTimeoutMs, 7000);
  EXPECT_EQ(line->plan.network.caFile, "ca.pem");

  auto defaults = Parse({"http://host/"});
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->saveTo, "");
  EXPECT_EQ(defaults->plan.network.connectTimeoutMs, 30000);
  EXPECT_EQ(defaults->plan.network.stallTimeoutMs, 60000);

  EXPECT_EQ(Parse({"-T", "0", "u"})->plan.network.stallTimeoutMs, kNoTimeLimitMs);  // as wget

  auto dashed = Parse({"--quiet", "--", "-odd-but-an-address"});
  ASSERT_TRUE(dashed);
  EXPECT_EQ(dashed->url, "-odd-but-an-address");
  EXPECT_TRUE(Parse({"--help"}));
  EXPECT_TRUE(Parse({"--version"}));
  EXPECT_TRUE(Parse({""}));  // an empty address is the crawl's to judge

  auto together = Parse({"-pkEN", "u"});
  ASSERT_TRUE(together);
  EXPECT_TRUE(together->plan.completePages && together->plan.convertLinks &&
              together->plan.adjustExtension && together->plan.update);
}

TEST(CommandLine, BadArgumentsSayWhy) {
  struct {
    std::vector<std::string> arguments;
    const char* error;
  } cases[] = {
      {{}, "no URL given"},
      {{"a", "b"}, "only one URL may be given"},
      {{"--save-to"}, "option --save-to needs a value"},
      {{"--save-to", "", "u"}, "--save-to needs a directory"},
      {{"--frobnicate", "u"}, "unknown option --frobnicate"},
      {{"--verbose=yes", "u"}, "option --verbose takes no value"},
      {{"--connect-timeout", "0x", "u"},
       "option --connect-timeout needs a number of seconds (0: no limit), not '0x'"},
      {{"--stall-timeout", "x", "u"},
       "option --stall-timeout needs a number of seconds (0: no limit), not 'x'"},
      {{"--stall-timeout", "-3", "u"},
       "option --stall-timeout needs a number of seconds (0: no limit), not '-3'"},
      {{"-kpz", "u"}, "unknown option -z"},
      {{"-zp", "u"}, "unknown option -zp"},  // named whole where its first letter is none
      {{"--render-budget", "5", "u"}, "option --render-budget needs --render"},
      {{"-U", "a\x01b", "u"}, "option --user-agent needs one line of text"},
      {{"--header", "X-A: b\x7f", "u"},
       "option --header needs one line \"Name: value\", not 'X-A: b\x7f'"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(Parse(c.arguments, &error));
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace

namespace {

TEST(CommandLine, ScopeAndIdentityOptions) {
  auto line = Parse({"-l2", "-A",           "htm,*.png", "-R",       "gif",
                     "-X",  "/a,/b",        "-I",        "/c",       "-H",
                     "-D",  "example.test", "--robots",  "--header", "X-A: b",
                     "-U",  "Me/1",         "--quota",   "2M",       "--max-file-size",
                     "10k", "http://host/"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->plan.scope.level, 2);
  EXPECT_EQ(line->plan.scope.accept, (std::vector<std::string>{"htm", "*.png"}));
  EXPECT_EQ(line->plan.scope.excludeDirectories, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_TRUE(line->plan.scope.spanHosts && line->plan.scope.robots);
  EXPECT_EQ(line->plan.quota, 2 << 20);
  EXPECT_EQ(line->plan.maxFileSize, 10 << 10);
  EXPECT_EQ(Parse({"--level", "inf", "u"})->plan.scope.level, 0);
  // wget's names for the same options.
  auto wget = Parse({"-P", "d", "--html-extension", "--timestamping", "--http-user", "a",
                     "--http-password=b", "u"});
  ASSERT_TRUE(wget);
  EXPECT_EQ(wget->saveTo, "d");
  EXPECT_TRUE(wget->plan.adjustExtension && wget->plan.update);
  EXPECT_EQ(wget->plan.network.user + wget->plan.network.password, "ab");
  EXPECT_EQ(wget->plan.archive.commandLine.find("=b"), std::string::npos);
  // -r's defaults, whatever the order of the options that give them otherwise.
  const struct {
    std::vector<std::string> arguments;
    int level, tries;
    bool robots, update;
  } recursions[] = {
      {{"-r", "u"}, 5, 20, true, false},
      {{"-m", "u"}, 0, 20, true, true},
      {{"-e", "robots=off", "-l", "inf", "-t", "0", "-r", "u"}, 0, INT_MAX, false, false},
      {{"-rl1", "-rnpH", "-eROBOTS = On", "-t3", "u"}, 1, 3, true, false},
      {{"-p", "u"}, 0, 0, false, false},
  };
  for (const auto& c : recursions) {
    auto recursive = Parse(c.arguments);
    ASSERT_TRUE(recursive) << c.arguments.front();
    const CrawlPlan& plan = recursive->plan;
    EXPECT_EQ(plan.scope.level, c.level) << c.arguments.front();
    EXPECT_EQ(plan.retries.tries, c.tries) << c.arguments.front();
    EXPECT_EQ(plan.scope.robots, c.robots) << c.arguments.front();
    EXPECT_EQ(plan.update, c.update) << c.arguments.front();
  }
  const struct {
    std::vector<std::string> arguments;
    std::string error;
  } refused[] = {
      {{"--level", "-1", "u"}, "option --level needs a number of links or inf, not '-1'"},
      {{"--reject-regex", "(a*)*\\1x", "u"},
       "option --reject-regex needs a regular expression: back-references are not taken"},
      {{"--header", "X: a\r\nY: b", "u"},
       "option --header needs one line \"Name: value\", not "
       "'X: a\r\nY: b'"},
      {{"--user-agent", "a\nb", "u"}, "option --user-agent needs one line of text"},
      {{"-A", ",", "u"}, "option --accept needs a list, not ','"},
      {{"-l"}, "option -l needs a value"},
      {{"-e", "robots=maybe", "u"},
       "option --execute knows robots=on and robots=off, not 'robots=maybe'"},
      {{"-e", "tries=3", "u"}, "option --execute knows robots=on and robots=off, not 'tries=3'"},
      {{"-nc", "-N", "u"}, "options --no-clobber and --update cannot be given together"},
      {{"-t", "x", "u"}, "option --tries needs a number of tries or inf, not 'x'"},
      {{"--max-redirect", "-1", "u"},
       "option --max-redirect needs a number of redirects, not '-1'"},
  };
  for (const auto& c : refused) {
    std::string error;
    EXPECT_FALSE(Parse(c.arguments, &error));
    EXPECT_EQ(error, c.error);
  }
}

// A start address as it is typed, pasted or listed; and its login, for its server alone.
TEST(CommandLine, StartAddressesAsTyped) {
  const struct {
    const char* typed;
    bool webRules;
    const char* url;
    const char* problem;  // nullptr: an address to fetch
  } rows[] = {
      {" http://h/a \r\n", false, "http://h/a", nullptr},
      {"HTTP://h/", false, "http://h/", nullptr},
      {"h:8080/docs/", true, "http://h:8080/docs/", nullptr},
      {"h:8080/docs/", false, "h:8080/docs/", "not an http or https address"},
      {"alice:pw@h/", true, "http://alice:pw@h/", nullptr},  // a login, not a scheme
      {"./site/index.htm", true, "./site/index.htm", "not an http or https address"},
      {"javascript:void(0)", true, "javascript:void(0)", "not an http or https address"},
      {"http://exa mple/", true, "http://exa mple/", "not a web address"},
      {"http://", true, "http://", "not a web address"},
  };
  for (const auto& row : rows) {
    const std::string url = TypedAddress(row.typed, row.webRules);
    EXPECT_EQ(url, row.url) << row.typed;
    EXPECT_EQ(AddressProblem(url).value_or(""), row.problem ? row.problem : "") << row.typed;
  }
  CrawlPlan plan;
  plan.moreStarts = {"http://a:b@o:81/x", "http://c:d@h/y"};
  SetStart(plan, CrawlStart{" http://h/ ", "", "/save"});
  EXPECT_EQ(plan.start.url, "http://h/");
  EXPECT_EQ(plan.start.localRoot, "/save/h");
  EXPECT_EQ(plan.moreStarts, (std::vector<std::string>{"http://o:81/x", "http://h/y"}));
  EXPECT_EQ(plan.network.user, "c");
  ASSERT_EQ(plan.network.moreLogins.size(), 1u);
  EXPECT_EQ(plan.network.moreLogins[0].server, "http://o:81");
  EXPECT_EQ(plan.network.moreLogins[0].password, "b");
  // Nor is the login written into the options an archive records, however it was typed.
  EXPECT_EQ(Parse({"--warc-file", "w", "alice:pw@h/"})->plan.archive.commandLine,
            "--warc-file w http://h/");
}

}  // namespace
