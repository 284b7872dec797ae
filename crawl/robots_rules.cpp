#include "crawl/robots_rules.h"

#include "platform/ascii.h"

namespace {

// Longer patterns are no rules a site means, and would only make matching slow.
constexpr size_t kLongestPattern = 2048;
constexpr size_t kMostRules = 20000;

// A pattern against a path: "*" any run of bytes, "$" at the end the path's end; otherwise
// the pattern need only match the path's beginning. Backtracks to the last "*" alone, so the
// cost is at most the product of the two lengths.
bool Matches(std::string_view pattern, std::string_view path) {
  const bool anchored = pattern.ends_with('$');
  if (anchored)
    pattern.remove_suffix(1);
  size_t p = 0, s = 0, star = std::string_view::npos, mark = 0;
  while (s < path.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = s;
    } else if (p < pattern.size() && pattern[p] == path[s]) {
      ++p;
      ++s;
    } else if (p == pattern.size() && !anchored) {
      return true;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      s = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

}  // namespace

std::string ProductToken(std::string_view userAgent) {
  userAgent = TrimSpace(userAgent);
  return std::string(userAgent.substr(0, userAgent.find_first_of("/ \t")));
}

RobotsRules RobotsRules::DisallowAll() {
  RobotsRules rules;
  rules.m_rules.push_back({"/", false});
  return rules;
}

RobotsRules RobotsRules::Parse(std::string_view text, std::string_view product) {
  std::vector<Rule> ours, anyone;
  bool oursFound = false;
  // The group being read: whether it names us or "*", and whether its agent lines are over.
  bool forUs = false, forAnyone = false, rulesBegun = false, inGroup = false;
  if (text.starts_with("\xEF\xBB\xBF"))
    text.remove_prefix(3);  // a byte order mark is no part of the first line
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = TrimSpace(line.substr(0, line.find('#')));
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    const std::string key = ToLowerAscii(TrimSpace(line.substr(0, colon)));
    const std::string_view value = TrimSpace(line.substr(colon + 1));
    if (key == "user-agent") {
      if (rulesBegun || !inGroup)
        forUs = forAnyone = rulesBegun = false;
      inGroup = true;
      if (value == "*") {
        forAnyone = true;
      } else if (!product.empty() && EqualsNoCase(ProductToken(value), product)) {
        forUs = oursFound = true;
      }
    } else if ((key == "allow" || key == "disallow") && inGroup) {
      rulesBegun = true;
      if (value.empty() || value.size() > kLongestPattern)
        continue;
      const Rule rule{std::string(value), key == "allow"};
      if (forUs && ours.size() < kMostRules)
        ours.push_back(rule);
      if (forAnyone && anyone.size() < kMostRules)
        anyone.push_back(rule);
    }
  }
  RobotsRules rules;
  rules.m_rules = oursFound ? std::move(ours) : std::move(anyone);
  return rules;
}

bool RobotsRules::Allows(std::string_view path) const {
  if (path == "/robots.txt")
    return true;
  size_t longest = 0;
  bool allowed = true;
  for (const Rule& rule : m_rules) {
    const size_t length = rule.pattern.size();
    if (length < longest || (length == longest && allowed) || !Matches(rule.pattern, path))
      continue;
    longest = length;
    allowed = rule.allow;
  }
  return allowed;
}
