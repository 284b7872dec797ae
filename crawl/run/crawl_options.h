#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crawl/base/crawl_plan.h"
#include "crawl/run/plan_start.h"

// How the shell completes an option's value.
enum class ValueKind { None, Directory, File, Number, Text };

// What an option says of itself: its names, its value and its help, as --help, the manual page,
// the completion and the window show it.
struct OptionText {
  std::string_view name;       // "--jobs"
  std::string_view shortName;  // "-p", or empty
  std::string_view value;      // the value's name in --help ("N"), empty for a switch
  std::string_view help;
  ValueKind kind;
  // Other names wget gives it, blank-separated ("--directory-prefix -P"), taken as its own.
  std::string_view also = {};

  // Whether the option is called so, by any of its names.
  bool Named(std::string_view called) const {
    if (called == name || (!shortName.empty() && called == shortName))
      return true;
    for (size_t start = 0; start < also.size();) {
      const size_t end = std::min(also.find(' ', start), also.size());
      if (also.substr(start, end - start) == called)
        return true;
      start = end + 1;
    }
    return false;
  }
};

// One option of a crawl, named as kelvane-cli names it: the console program takes it from its
// arguments and the window from its preferences, and each writes it into the crawl's plan.
struct CrawlOption {
  OptionText text;
  // Takes the value into the plan; false, with error set, when it is not one.
  bool (*apply)(CrawlPlan& plan, const std::string& value, std::string& error);
};

const std::vector<CrawlOption>& CrawlOptions();
// wget's recursion and the options it brings: -r, -m, -np, retries, timeouts, checks.
std::vector<CrawlOption> RecursionOptions();
// The defaults -r and -m bring, for what the options did not give; then why the plan cannot be
// run as given, or nothing.
std::optional<std::string> SettleRecursion(CrawlPlan& plan);

// Seconds as a positive decimal number, into milliseconds.
bool ParseSeconds(const std::string& text, long& milliseconds);
// A time limit in seconds, or the option's complaint; 0 is none, given as none.
inline constexpr long kNoTimeLimitMs = 365L * 86400 * 1000;
bool Timeout(const std::string& name, const std::string& text, long& target, std::string& error,
             long none = kNoTimeLimitMs);
// Seconds of zero or more, into milliseconds.
bool ParseWait(const std::string& text, long& milliseconds);
const CrawlOption* FindCrawlOption(std::string_view name);
