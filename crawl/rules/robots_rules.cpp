#include "crawl/rules/robots_rules.h"

#include <string.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "crawl/rules/scope_rules.h"
#include "platform/ascii.h"

namespace {

// Longer patterns are no rules a site means, and would only make matching slow.
constexpr size_t kLongestPattern = 2048;
constexpr size_t kMostRules = 20000;

// A pattern against a path: "*" any run of bytes, "$" at the end the path's end; otherwise
// the pattern need only match the path's beginning. The pieces between the stars are found
// leftmost first, which is right for patterns of literal bytes and stars; with memmem's linear
// search the work is about the path's length plus the pattern's, and is added to cost.
bool Matches(std::string_view pattern, std::string_view path, int64_t& cost) {
  const bool anchored = pattern.ends_with('$');
  if (anchored)
    pattern.remove_suffix(1);
  size_t star = pattern.find('*');
  const std::string_view first = pattern.substr(0, star);
  // What the comparison of the beginnings reads: up to the first byte that differs.
  const size_t common = static_cast<size_t>(
      std::mismatch(first.begin(), first.end(), path.begin(), path.end()).first - first.begin());
  cost += static_cast<int64_t>(common) + 1;
  if (common < first.size())
    return false;
  if (star == std::string_view::npos)
    return !anchored || path.size() == first.size();
  size_t at = first.size();
  for (;;) {
    const size_t next = pattern.find('*', star + 1);
    const std::string_view piece = pattern.substr(star + 1, next - star - 1);
    cost += 1;
    if (next == std::string_view::npos && anchored) {
      cost += static_cast<int64_t>(piece.size());
      return path.size() - at >= piece.size() && path.ends_with(piece);
    }
    if (!piece.empty()) {
      const size_t left = path.size() - at;
      // A piece longer than what is left is refused before any search.
      cost += static_cast<int64_t>(piece.size() <= left ? piece.size() : 0);
      const void* found = memmem(path.data() + at, left, piece.data(), piece.size());
      if (found == nullptr) {
        cost += static_cast<int64_t>(left);
        return false;
      }
      const size_t end =
          static_cast<size_t>(static_cast<const char*>(found) - path.data()) + piece.size();
      cost += static_cast<int64_t>(end - at);
      at = end;
    }
    if (next == std::string_view::npos)
      return true;
    star = next;
  }
}

// A Crawl-delay's seconds, whole or decimal, in milliseconds up to ten minutes.
std::optional<long> DelayMs(std::string_view value) {
  constexpr long kLongest = 600 * 1000;
  long whole = 0, fraction = 0, scale = 1000;
  size_t i = 0;
  for (; i < value.size() && (value[i] >= '0' && value[i] <= '9'); ++i)
    whole = std::min<long>(whole * 10 + (value[i] - '0'), kLongest);
  if (i == 0)
    return std::nullopt;
  if (i < value.size() && value[i] == '.') {
    for (++i; i < value.size() && (value[i] >= '0' && value[i] <= '9'); ++i) {
      scale /= 10;
      fraction += (value[i] - '0') * scale;
    }
  }
  if (i != value.size())
    return std::nullopt;
  return std::min(kLongest, whole * 1000 + fraction);
}

// A pattern written as paths are compared: escapes one way, and a run of stars is one star.
std::string ComparablePattern(std::string_view value) {
  std::string pattern = NormalEscapes(value);
  pattern.erase(std::unique(pattern.begin(), pattern.end(),
                            [](char a, char b) { return a == '*' && b == '*'; }),
                pattern.end());
  return pattern;
}

// A line's field: its name in lower case, and its value.
using RobotsField = std::pair<std::string, std::string_view>;

// Takes the first line off text, and gives its field, a comment and blanks taken off; none where
// the line holds no field.
std::optional<RobotsField> TakeField(std::string_view& text) {
  size_t end = text.find_first_of("\r\n");
  std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  line = TrimSpace(line.substr(0, line.find('#')));
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos)
    return std::nullopt;
  return RobotsField(ToLowerAscii(TrimSpace(line.substr(0, colon))),
                     TrimSpace(line.substr(colon + 1)));
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
  std::optional<long> oursDelay, anyoneDelay;
  bool oursFound = false;
  // The group being read: whether it names us or "*", and whether its agent lines are over.
  bool forUs = false, forAnyone = false, rulesBegun = false, inGroup = false;
  if (text.starts_with("\xEF\xBB\xBF"))
    text.remove_prefix(3);  // a byte order mark is no part of the first line
  while (!text.empty()) {
    const std::optional<RobotsField> field = TakeField(text);
    if (!field)
      continue;
    const auto& [key, value] = *field;
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
      const Rule rule{ComparablePattern(value), key == "allow"};
      if (forUs && ours.size() < kMostRules)
        ours.push_back(rule);
      if (forAnyone && anyone.size() < kMostRules)
        anyone.push_back(rule);
    } else if (key == "crawl-delay" && inGroup) {
      rulesBegun = true;
      if (const std::optional<long> delay = DelayMs(value)) {
        if (forUs)
          oursDelay = std::max(oursDelay.value_or(0), *delay);
        if (forAnyone)
          anyoneDelay = std::max(anyoneDelay.value_or(0), *delay);
      }
    }
  }
  RobotsRules rules;
  rules.m_rules = oursFound ? std::move(ours) : std::move(anyone);
  rules.m_crawlDelayMs = oursFound ? oursDelay : anyoneDelay;
  rules.Order();
  return rules;
}

void RobotsRules::Order() {
  std::vector<Rule>& kept = m_rules;
  std::stable_sort(kept.begin(), kept.end(), [](const Rule& a, const Rule& b) {
    return a.pattern.size() != b.pattern.size() ? a.pattern.size() > b.pattern.size()
           : a.allow != b.allow                 ? a.allow
                                                : a.pattern < b.pattern;
  });
  kept.erase(std::unique(kept.begin(), kept.end(),
                         [](const Rule& a, const Rule& b) {
                           return a.allow == b.allow && a.pattern == b.pattern;
                         }),
             kept.end());
}

bool RobotsRules::Allows(std::string_view path) const {
  int64_t unlimited = std::numeric_limits<int64_t>::max() / 2;
  return Judge(path, unlimited) == Answer::Allowed;
}

RobotsRules::Answer RobotsRules::Judge(std::string_view path, int64_t& budget) const {
  if (path == "/robots.txt")
    return Answer::Allowed;
  for (const Rule& rule : m_rules) {
    if (budget <= 0)
      return Answer::TooCostly;
    int64_t cost = 0;
    const bool matches = Matches(rule.pattern, path, cost);
    budget -= cost;
    if (matches)
      return rule.allow ? Answer::Allowed : Answer::Disallowed;
  }
  return Answer::Allowed;
}
