// The scope's rules on single addresses: paths as the server reads them, and directories.
#include "crawl/rules/scope_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(ScopeRules, PathsAreComparedAsTheServerReadsThem) {
  const std::pair<const char*, const char*> cases[] = {
      {"/", "/"},
      {"/a/b.htm", "/a/b.htm"},
      {"/a/", "/a/"},
      {"/%70rivate/%7Ex", "/private/~x"},
      {"/a%2fb", "/a%2Fb"},  // a slash written as one stays no step
      {"/a/./b/../c", "/a/c"},
      {"/a/%2e%2e/private/", "/private/"},
      {"/../../x", "/x"},
      {"/a/..", "/"},
      {"/a/b/.", "/a/b/"},
      {"%", "/%"},
  };
  for (const auto& [path, comparable] : cases)
    EXPECT_EQ(ComparablePath(path), comparable) << path;
}

TEST(ScopeRules, DirectoriesAndTheirWildcards) {
  ScopePlan plan;
  plan.excludeDirectories = {"/a", "/*/private/"};
  const Scope scope(plan);
  const std::pair<const char*, bool> cases[] = {
      {"http://h/a/x.htm", false},          {"http://h/a/b/x.htm", false},
      {"http://h/ab/x.htm", true},          {"http://h/%61/x.htm", false},
      {"http://h/x/private/y.htm", false},  {"http://h/x/private/q/y.htm", false},
      {"http://h/x/y/private/z.htm", true},  // a wildcard matches within one step
      {"http://h/b/../a/x.htm", false},
  };
  for (const auto& [url, taken] : cases)
    EXPECT_EQ(scope.Judge(url, 1, false).verdict == Scope::Verdict::Take, taken) << url;
  EXPECT_EQ(scope.Judge("http://h/a/x.htm", 0, false).verdict, Scope::Verdict::Take);  // the start
}

}  // namespace
