#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A server's robots.txt as it applies to one crawler: the rules of the groups that name its
// product token, or else of the groups for "*"; the longest matching rule decides, an allow
// winning a tie; no rule, or no group, allows.
class RobotsRules {
 public:
  // Everything allowed: no file, or one the server says it does not have (4xx).
  static RobotsRules AllowAll() { return RobotsRules(); }
  // Nothing allowed: the file could not be had (5xx, no answer).
  static RobotsRules DisallowAll();
  // product: the crawler's name as groups name it ("Kelvane"), letter case not counting.
  static RobotsRules Parse(std::string_view text, std::string_view product);

  // path: the address's path and query, as sent ("/a/b?c").
  bool Allows(std::string_view path) const;
  enum class Answer { Allowed, Disallowed, TooCostly };
  // Allows with a limit on the work: each rule tried takes the bytes it compares from budget,
  // and once that is spent the answer is TooCostly. A file of many long patterns against long
  // addresses would otherwise cost seconds per link.
  Answer Judge(std::string_view path, int64_t& budget) const;
  // The group's Crawl-delay, in milliseconds, at most ten minutes; none when it gives none.
  std::optional<long> CrawlDelayMs() const { return m_crawlDelayMs; }

 private:
  struct Rule {
    std::string pattern;
    bool allow = false;
  };
  // The first rule that matches is then the longest, an allow winning a tie; a rule written
  // twice is matched once.
  void Order();
  std::vector<Rule> m_rules;  // longest first, an allow before a disallow of its length
  std::optional<long> m_crawlDelayMs;
};

// The product token of a user agent text: "Kelvane/2.0 (x)" gives "Kelvane".
std::string ProductToken(std::string_view userAgent);
