#include "crawl/run/redirect_judge.h"

#include "platform/url_resolve.h"

RedirectRule RedirectJudge::Redirects(int depth, bool requisite) const {
  RedirectRule reading = m_rules.Redirects(requisite);
  if (!m_scope)
    return reading;
  return [reading, scope = m_scope, depth, requisite](const std::string& target) {
    return (!reading || reading(target)) &&
           scope->Judge(target, depth, requisite, true).verdict != Scope::Verdict::LeftOut;
  };
}

std::optional<RedirectJudge::LeftOut> RedirectJudge::Refused(CrawlPass& pass) const {
  FetchedFile& file = *pass.file;
  // The start address is always fetched: where it is sent is no rule's to leave out.
  if (!m_scope || pass.depth == 0)
    return std::nullopt;
  if (file.problem == FetchProblem::RedirectRefused) {
    // Refused by a rule of the scope where the reading rules would follow: that rule leaves
    // the target out, as it would a link to it; nothing of this pass is stored or refused.
    const RedirectRule reading = m_rules.Redirects(pass.requisite);
    if (reading && !reading(file.problemText)) {
      // Another server is the scope's rule only once servers are spanned at all.
      if (!m_plan.scope.spanHosts)
        return std::nullopt;
      return LeftOut{file.problemText, "another server"};
    }
    const Scope::Judgement judgement =
        m_scope->Judge(file.problemText, pass.depth, pass.requisite, true);
    if (judgement.verdict != Scope::Verdict::LeftOut)
      return std::nullopt;
    return LeftOut{file.problemText, judgement.why};
  }
  // A page followed to a name the scope reads for its links only is not stored either.
  if (pass.stored && !file.finalUrl.empty() && file.finalUrl != pass.url &&
      m_scope->Judge(file.finalUrl, pass.depth, pass.requisite, true).verdict ==
          Scope::Verdict::ReadOnly)
    pass.stored = false;
  return std::nullopt;
}

bool RedirectJudge::RetryAfterRobots(CrawlPass& pass, const std::string& refusedTarget) {
  // Only a redirect that every other rule took, refused for want of its server's robots.txt:
  // that file is read now, once, and the pass is asked for again. A chain may need a file at
  // each step; a server that sends each request somewhere new gets a few tries, not more.
  constexpr int kMostTries = 5;
  if (!m_scope || !m_plan.scope.robots || !IsHttpUrl(refusedTarget) ||
      pass.robotsRetries >= kMostTries)
    return false;
  const std::string origin = ServerOrigin(refusedTarget);
  if (!m_robots.Read(origin)) {
    if (!m_robots.Wanted(origin))
      return false;  // another rule refused it first
    m_robots.Allow(refusedTarget, true);
  } else if (!Redirects(pass.depth, pass.requisite)(refusedTarget)) {
    return false;  // the file was read meanwhile, for another pass, and refuses it all the same
  }
  ++pass.robotsRetries;
  return true;
}
