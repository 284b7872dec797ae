#pragma once

#include <optional>
#include <string>

#include "crawl/base/crawl_plan.h"
#include "crawl/rules/crawl_rules.h"
#include "crawl/rules/scope_rules.h"
#include "crawl/run/crawl_pass.h"
#include "crawl/run/robots_files.h"

// Where an answer may send a pass, and what a redirect the crawl did not follow becomes: left
// out by a rule of the scope, or asked again once its server's robots.txt is read.
class RedirectJudge {
 public:
  // scope: none when the plan has no rule of scope.
  RedirectJudge(const CrawlPlan& plan, const CrawlRules& rules, const Scope* scope,
                RobotsFiles& robots)
      : m_plan(plan), m_rules(rules), m_scope(scope), m_robots(robots) {}

  // Where the reading rules and the scope would take a link of the pass's depth and kind.
  RedirectRule Redirects(int depth, bool requisite) const;
  struct LeftOut {
    std::string target;
    std::string why;
  };
  // With a scope, a redirect it refused is that rule's leaving out of its target, and the pass
  // is done; a page followed to a name the scope reads only is not stored.
  std::optional<LeftOut> Refused(CrawlPass& pass) const;
  // A redirect refused because the robots.txt of its target's server was not read yet: the
  // file is read now, and true says the pass is to be fetched again.
  bool RetryAfterRobots(CrawlPass& pass, const std::string& refusedTarget);

 private:
  const CrawlPlan& m_plan;
  const CrawlRules& m_rules;
  const Scope* m_scope;
  RobotsFiles& m_robots;
};
