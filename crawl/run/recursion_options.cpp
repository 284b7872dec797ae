// wget's recursion and the options that come with it, as wget's users type them.
#include <climits>
#include <cstdlib>

#include "crawl/run/crawl_options.h"
#include "platform/ascii.h"

namespace {

using L = CrawlPlan;

// A whole number from low to high, or "inf" for no end, given as noEnd.
bool Count(const std::string& text, long low, long high, long noEnd, long& count) {
  if (text == "inf") {
    count = noEnd;
    return true;
  }
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < low || n > high)
    return false;
  count = n;
  return true;
}

// wget's "-e robots=off": the one command of its start-up file that a crawl's plan holds.
bool TakeCommand(L& l, const std::string& command, std::string& error) {
  std::string name, value;
  const size_t equals = command.find('=');
  if (equals != std::string::npos) {
    name = std::string(TrimSpace(std::string_view(command).substr(0, equals)));
    value = std::string(TrimSpace(std::string_view(command).substr(equals + 1)));
  }
  for (char& c : value)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool on = value == "on" || value == "1" || value == "yes" || value == "true";
  const bool off = value == "off" || value == "0" || value == "no" || value == "false";
  if (!EqualsNoCase(name, "robots") || (!on && !off)) {
    error = "option --execute knows robots=on and robots=off, not '" + command + "'";
    return false;
  }
  l.scope.robots = on;
  return l.recursion.robotsGiven = true;
}

std::vector<CrawlOption> FollowingOptions() {
  return {
      {{"--recursive", "-r", "",
        "follow links anywhere on the start's server, 5 deep, obeying robots.txt (as wget)",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         l.completePages = true;
         return l.recursion.on = true;
       }},
      {{"--mirror", "-m", "", "-r -N -l inf", ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         l.completePages = l.update = l.recursion.on = true;
         return l.recursion.mirror = true;
       }},
      {{"--no-parent", "-np", "", "with -r, follow nothing above the start's directory",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.recursion.noParent = true; }},
      {{"--execute", "-e", "COMMAND", "robots=off or robots=on, as wget reads them",
        ValueKind::Text},
       TakeCommand},
      {{"--no-clobber", "-nc", "", "ask for nothing already in the copy (as without -N)",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.noClobber = true; }},
      {{"--continue", "-c", "", "go on with files an earlier run left cut short", ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.resume = true; }},
      {{"--force-directories", "-x", "", "a directory for each server and path (as by default)",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         return l.naming.hostDirectories = l.naming.directories = true;
       }},
      {{"--spider", "", "", "store nothing: check every link and list the broken ones",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.spider = true; }},
  };
}

std::vector<CrawlOption> TryingOptions() {
  return {
      {{"--tries", "-t", "N",
        "ask up to N times for a file whose failure may pass (with -r 20 by default; 0 or inf: "
        "no end)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         long n = 0;
         if (!Count(v, 0, INT_MAX, 0, n)) {
           error = "option --tries needs a number of tries or inf, not '" + v + "'";
           return false;
         }
         l.retries.tries = n == 0 ? INT_MAX : static_cast<int>(n);
         return l.recursion.triesGiven = true;
       }},
      {{"--waitretry", "", "S", "before each new try wait a second more, at most S (default 10)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         if (ParseWait(v, l.retries.waitRetryMs))
           return true;
         error = "option --waitretry needs a number of seconds, not '" + v + "'";
         return false;
       }},
      {{"--retry-connrefused", "", "", "with -t, ask again after a refused connection too",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.retries.connectionRefused = true; }},
  };
}

std::vector<CrawlOption> TimingOptions() {
  return {
      {{"--timeout", "-T", "S",
        "--dns-timeout, --connect-timeout and --read-timeout at once (0: no limit)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         NetworkSettings& n = l.network;
         return Timeout("--timeout", v, n.connectTimeoutMs, error) &&
                Timeout("--timeout", v, n.stallTimeoutMs, error) &&
                Timeout("--timeout", v, n.dnsTimeoutMs, error, 0);
       }},
      {{"--dns-timeout", "", "S", "give up looking up a server's name after S seconds",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         return Timeout("--dns-timeout", v, l.network.dnsTimeoutMs, error, 0);
       }},
      {{"--random-wait", "", "", "wait 0.5 to 1.5 times --wait, drawn afresh each time",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.network.randomWait = true; }},
      {{"--no-check-certificate", "", "", "take any server's certificate (said as a warning)",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         l.network.checkCertificates = false;
         return true;
       }},
      {{"--max-redirect", "", "N", "follow at most N redirects in a row (default 20)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         if (Count(v, 0, 1000, 1000, l.network.maxRedirects))
           return true;
         error = "option --max-redirect needs a number of redirects, not '" + v + "'";
         return false;
       }},
  };
}

}  // namespace

std::vector<CrawlOption> RecursionOptions() {
  std::vector<CrawlOption> all = FollowingOptions();
  for (auto group : {TryingOptions(), TimingOptions()})
    all.insert(all.end(), group.begin(), group.end());
  return all;
}

std::optional<std::string> SettleRecursion(CrawlPlan& plan) {
  RecursionPlan& r = plan.recursion;
  if (plan.noClobber && plan.update)
    return "options --no-clobber and --update cannot be given together";
  if (!r.on)
    return std::nullopt;
  if (!r.levelGiven)
    plan.scope.level = r.mirror ? 0 : 5;
  if (!r.robotsGiven)
    plan.scope.robots = true;
  if (!r.triesGiven)
    plan.retries.tries = 20;
  // wget's -H without -D goes wherever the links go.
  plan.scope.pagesAnywhere = plan.scope.spanHosts && plan.scope.domains.empty();
  return std::nullopt;
}
