#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/base/crawl_plan.h"

// Whether another server may be reached, by the plan's domains, for a page or for what a page
// needs; origin is "scheme://host:port".
bool ServerInScope(const ScopePlan& plan, const std::string& origin, bool page);
// Whether a server is one of the plan's excluded domains, never to be contacted.
bool ServerExcluded(const ScopePlan& plan, const std::string& origin);

// Escapes written one way: %XX of unreserved characters decoded, other escapes in capitals,
// bytes outside printable ASCII escaped, as an address is sent.
std::string NormalEscapes(std::string_view text);

// A path as rules compare it: escapes written one way, "." and ".." steps resolved and empty
// steps dropped, as the server will read it. keepInnerEmpty: a doubled "/" after the first
// step stays, as the request sends it.
std::string ComparablePath(std::string_view path, bool keepInnerEmpty = false);

// Why an expression cannot be used, or nothing when it can.
std::optional<std::string> RegexError(const std::string& expression);

// The plan's rules, ready to judge links.
class Scope {
 public:
  explicit Scope(const ScopePlan& plan);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  enum class Verdict {
    Take,      // fetched and stored
    ReadOnly,  // a page whose name is rejected: fetched to be read for its links, not stored
    LeftOut,   // not fetched
  };
  struct Judgement {
    Verdict verdict = Verdict::Take;
    std::string why;  // for LeftOut and ReadOnly: the rule, in a few words
  };
  // depth: links from the start page; requisite: what a page needs to show (with complete
  // pages), which the depth does not hold back one level past the last.
  // redirect: where an answer sends a request, judged as a link there would be, but with only
  // the robots.txt files already read.
  Judgement Judge(const std::string& url, int depth, bool requisite, bool redirect = false) const;
  // Whether a server's robots.txt allows an address: nothing when it does, else why not; asked
  // with robots on. mayRead: the file may be fetched now if it has not been; otherwise an
  // unread one allows.
  using RobotsCheck =
      std::function<std::optional<std::string>(const std::string& url, bool mayRead)>;
  void SetRobots(RobotsCheck allows) { m_robotsAllow = std::move(allows); }

 private:
  struct Expression;
  bool NameTaken(const std::string& name, const std::string& url, std::string& why) const;

  ScopePlan m_plan;
  std::unique_ptr<Expression> m_accept;
  std::unique_ptr<Expression> m_reject;
  RobotsCheck m_robotsAllow;
};
