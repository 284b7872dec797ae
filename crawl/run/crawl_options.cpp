#include "crawl/run/crawl_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "crawl/rules/mirror_paths.h"
#include "crawl/rules/scope_rules.h"
#include "platform/ascii.h"

bool ParseSeconds(const std::string& text, long& milliseconds) {
  if (text.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(seconds > 0) || seconds > 86400.0 * 365)
    return false;
  milliseconds = std::max(1L, std::lround(seconds * 1000));
  return true;
}

bool Timeout(const std::string& name, const std::string& text, long& target, std::string& error,
             long none) {
  char* end = nullptr;
  if (!text.empty() && std::strtod(text.c_str(), &end) == 0 && *end == '\0') {
    target = none;  // as wget reads 0: no limit
    return true;
  }
  if (ParseSeconds(text, target))
    return true;
  error = "option " + name + " needs a number of seconds (0: no limit), not '" + text + "'";
  return false;
}

bool ParseWait(const std::string& text, long& milliseconds) {
  if (text == "0") {
    milliseconds = 0;
    return true;
  }
  return ParseSeconds(text, milliseconds);
}

namespace {

// A byte count with an optional k (1,024) or M (1,048,576) suffix, above 0.
bool ParseRate(const std::string& text, long long& bytes) {
  if (text.empty())
    return false;
  double scale = 1;
  std::string number = text;
  if (number.back() == 'k' || number.back() == 'K' || number.back() == 'm' ||
      number.back() == 'M') {
    scale = (number.back() == 'k' || number.back() == 'K') ? 1024.0 : 1048576.0;
    number.pop_back();
  }
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(number.c_str(), &end);
  if (number.empty() || errno != 0 || *end != '\0' || !(value > 0) || value * scale > 1e15)
    return false;
  bytes = std::max(1LL, std::llround(value * scale));
  return true;
}

// Comma-separated items, each added to the list; false when there is none.
bool AddItems(const std::string& name, const std::string& text, std::vector<std::string>& items,
              std::string& error) {
  size_t before = items.size();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos)
      comma = text.size();
    if (comma > start)
      items.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  if (items.size() > before)
    return true;
  error = "option " + name + " needs a list, not '" + text + "'";
  return false;
}

// Control characters (a tab aside) have no place in a header line: sent raw, they could split it.
bool HasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  });
}

// The modes of --restrict-file-names, separated by commas.
bool TakeModes(const std::string& text, NamingPlan& naming, std::string& error) {
  NamingPlan taken = naming;
  taken.escapeControl = true;  // as unix, unless nocontrol says otherwise
  std::vector<std::string> modes;
  bool listed = AddItems("--restrict-file-names", text, modes, error);
  for (const std::string& mode : modes) {
    if (mode == "unix") {
      taken.windows = false;
    } else if (mode == "windows") {
      taken.windows = true;
    } else if (mode == "nocontrol") {
      taken.escapeControl = false;
    } else if (mode == "ascii") {
      taken.ascii = true;
    } else if (mode == "lowercase" || mode == "uppercase") {
      taken.lowercase = mode == "lowercase";
      taken.uppercase = mode == "uppercase";
    } else {
      listed = false;
    }
  }
  if (!listed) {
    error =
        "option --restrict-file-names needs modes among unix, windows, lowercase, uppercase, "
        "nocontrol and ascii, not '" +
        text + "'";
    return false;
  }
  naming = taken;
  return true;
}

bool Expression(const std::string& name, const std::string& text, std::string& target,
                std::string& error) {
  if (std::optional<std::string> why = RegexError(text)) {
    error = "option " + name + " needs a regular expression: " + *why;
    return false;
  }
  target = text;
  return true;
}

// How the crawl talks, and what becomes of the copy.
std::vector<CrawlOption> NetworkAndCopyOptions() {
  using L = CrawlPlan;
  return {
      {{"--connect-timeout", "", "S", "give up a connection after S seconds (default 30)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         return Timeout("--connect-timeout", v, l.network.connectTimeoutMs, error);
       }},
      {{"--stall-timeout", "", "S", "give up a transfer silent for S seconds (default 60)",
        ValueKind::Number, "--read-timeout"},
       [](L& l, const std::string& v, std::string& error) {
         return Timeout("--stall-timeout", v, l.network.stallTimeoutMs, error);
       }},
      {{"--ca-certificate", "", "FILE", "trust this certificate authority as well",
        ValueKind::File},
       [](L& l, const std::string& v, std::string&) {
         l.network.caFile = v;
         return true;
       }},
      {{"--jobs", "", "N",
        "transfer up to N files at once, 1 to 64 (default 1; with -p 6 per server, 16 in all, or "
        "100 streams over an HTTP/2 connection)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         char* end = nullptr;
         long n = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end != '\0' || n < 1 || n > 64) {
           error = "option --jobs needs a number from 1 to 64, not '" + v + "'";
           return false;
         }
         l.jobs = static_cast<int>(n);
         return true;
       }},
      {{"--wait", "", "S", "wait S seconds between two requests to a server", ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         if (ParseWait(v, l.network.waitMs))
           return true;
         error = "option --wait needs a number of seconds, not '" + v + "'";
         return false;
       }},
      {{"--limit-rate", "", "BYTES", "receive at most BYTES a second, k and M allowed",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         if (ParseRate(v, l.network.maxBytesPerSecond))
           return true;
         error = "option --limit-rate needs a number of bytes above 0, not '" + v + "'";
         return false;
       }},
      {{"--page-requisites", "-p", "", "also fetch what pages need: stylesheets, scripts, media",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         l.recursion.requisites = true;
         return l.completePages = true;
       }},
      {{"--render", "", "", "with -p, run each page's scripts in Chromium and keep what they load",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.render = true; }},
      {{"--render-budget", "", "S",
        "with --render, give each page's scripts at most S seconds (default 30)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         char* end = nullptr;
         const long n = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end != '\0' || n < 1 || n > 3600) {
           error =
               "option --render-budget needs a number of seconds from 1 to 3600, not '" + v + "'";
           return false;
         }
         l.renderSeconds = static_cast<int>(n);
         return true;
       }},
      {{"--convert-links", "-k", "", "once done, make links in the copy work from disk",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.convertLinks = true; }},
      {{"--adjust-extension", "-E", "", "name pages .html and stylesheets .css", ValueKind::None,
        "--html-extension"},
       [](L& l, const std::string&, std::string&) { return l.adjustExtension = true; }},
      {{"--update", "-N", "", "ask for earlier copies again; replace those that changed",
        ValueKind::None, "--timestamping"},
       [](L& l, const std::string&, std::string&) { return l.update = true; }},
      {{"--backup-converted", "-K", "", "with -k, keep each converted file's original as .orig",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.backupConverted = true; }},
  };
}

// How the copy's files are named, with complete pages.
std::vector<CrawlOption> NamingOptions() {
  using L = CrawlPlan;
  return {
      {{"--no-host-directories", "-nH", "", "with -p, no directory for each server",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         l.naming.hostDirectories = false;
         return true;
       }},
      {{"--no-directories", "-nd", "", "with -p, every file in one directory", ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         l.naming.directories = false;
         return true;
       }},
      {{"--cut-dirs", "", "N", "with -p, leave out the first N directories of each path",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         char* end = nullptr;
         const long n = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end != '\0' || n < 0 || n > 1000) {
           error = "option --cut-dirs needs a number of directories, not '" + v + "'";
           return false;
         }
         l.naming.cutDirs = static_cast<int>(n);
         return true;
       }},
      {{"--default-page", "", "NAME", "with -p, the file name of an address ending in /",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         if (v.empty() || v == "." || v == ".." || v.find_first_of("/\\") != std::string::npos ||
             HasControl(v)) {
           error = "option --default-page needs a file name, not '" + v + "'";
           return false;
         }
         l.naming.defaultPage = v;
         return true;
       }},
      {{"--restrict-file-names", "", "MODES",
        "with -p, names for unix, windows, lowercase, uppercase, nocontrol, ascii",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return TakeModes(v, l.naming, error);
       }},
      {{"--content-disposition", "", "", "with -p, name files as their answers' headers say",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.naming.contentDisposition = true; }},
      {{"--https-only", "", "", "with -p, follow only https links", ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.scope.httpsOnly = true; }},
  };
}

// What the crawl takes: depth, names, directories, servers, robots.txt.
std::vector<CrawlOption> ScopeOptions() {
  using L = CrawlPlan;
  return {
      {{"--level", "-l", "N", "follow links at most N deep from the start (inf or 0: no limit)",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         char* end = nullptr;
         const long n = v == "inf" ? 0 : std::strtol(v.c_str(), &end, 10);
         if (v != "inf" && (v.empty() || *end != '\0' || n < 0 || n > 1000000)) {
           error = "option --level needs a number of links or inf, not '" + v + "'";
           return false;
         }
         l.scope.level = static_cast<int>(n);
         return l.recursion.levelGiven = true;
       }},
      {{"--accept", "-A", "LIST", "take only files whose names end so or match these patterns",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--accept", v, l.scope.accept, error);
       }},
      {{"--reject", "-R", "LIST", "leave out files whose names end so or match these patterns",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--reject", v, l.scope.reject, error);
       }},
      {{"--accept-regex", "", "REGEX", "take only addresses that match REGEX", ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return Expression("--accept-regex", v, l.scope.acceptRegex, error);
       }},
      {{"--reject-regex", "", "REGEX", "leave out addresses that match REGEX", ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return Expression("--reject-regex", v, l.scope.rejectRegex, error);
       }},
      {{"--include-directories", "-I", "LIST", "take only files in these directories",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--include-directories", v, l.scope.includeDirectories, error);
       }},
      {{"--exclude-directories", "-X", "LIST", "leave out files in these directories",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--exclude-directories", v, l.scope.excludeDirectories, error);
       }},
      {{"--span-hosts", "-H", "", "with -p, fetch what pages need from other servers too",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.scope.spanHosts = true; }},
      {{"--domains", "-D", "LIST", "with -H, follow pages on these domains as well",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--domains", v, l.scope.domains, error);
       }},
      {{"--exclude-domains", "", "LIST", "with -H, never contact these domains", ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         return AddItems("--exclude-domains", v, l.scope.excludeDomains, error);
       }},
      {{"--robots", "", "", "obey each server's robots.txt (for sites not your own)",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) {
         l.recursion.robotsGiven = true;
         return l.scope.robots = true;
       }},
  };
}

// Who the crawl says it is, and how much it takes.
std::vector<CrawlOption> IdentityOptions() {
  using L = CrawlPlan;
  return {
      {{"--user-agent", "-U", "TEXT", "name the program so in every request", ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         if (HasControl(v)) {
           error = "option --user-agent needs one line of text";
           return false;
         }
         l.network.userAgent = v;
         return true;
       }},
      {{"--load-cookies", "", "FILE", "start from the cookies of FILE (Netscape format)",
        ValueKind::File},
       [](L& l, const std::string& v, std::string& error) {
         if (access(v.c_str(), R_OK) != 0) {
           error = "option --load-cookies cannot read '" + v + "'";
           return false;
         }
         l.network.loadCookies = v;
         return true;
       }},
      {{"--save-cookies", "", "FILE", "write the cookies to FILE once done", ValueKind::File},
       [](L& l, const std::string& v, std::string& error) {
         l.network.saveCookies = v;
         if (v.empty())
           error = "option --save-cookies needs a file";
         return !v.empty();
       }},
      {{"--user", "", "NAME", "log in to the start address's server as NAME", ValueKind::Text,
        "--http-user"},
       [](L& l, const std::string& v, std::string&) {
         l.network.user = v;
         return true;
       }},
      {{"--password", "", "TEXT", "with --user: the password (never shown)", ValueKind::Text,
        "--http-password"},
       [](L& l, const std::string& v, std::string&) {
         l.network.password = v;
         return true;
       }},
      {{"--netrc", "", "", "take from ~/.netrc what the login given leaves out", ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.network.netrc = true; }},
      {{"--auth-no-challenge", "", "", "send the login at once, before the server asks for it",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.network.authNoChallenge = true; }},
      {{"--quota", "", "BYTES", "fetch no new file once BYTES are stored, k and M allowed",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         if (ParseRate(v, l.quota))
           return true;
         error = "option --quota needs a number of bytes above 0, not '" + v + "'";
         return false;
       }},
      {{"--max-file-size", "", "BYTES", "save no file larger than BYTES, k and M allowed",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         if (ParseRate(v, l.maxFileSize))
           return true;
         error = "option --max-file-size needs a number of bytes above 0, not '" + v + "'";
         return false;
       }},
      {{"--header", "", "LINE", "send this header line (\"Name: value\") with every request",
        ValueKind::Text},
       [](L& l, const std::string& v, std::string& error) {
         const size_t colon = v.find(':');
         if (colon == std::string::npos || colon == 0 || HasControl(v) ||
             v.substr(0, colon).find_first_of(" \t") != std::string::npos) {
           error = "option --header needs one line \"Name: value\", not '" + v + "'";
           return false;
         }
         l.network.headers.push_back(v);
         return true;
       }},
  };
}

// The archive: every exchange recorded as WARC, beside the copy.
std::vector<CrawlOption> ArchiveOptions() {
  using L = CrawlPlan;
  return {
      {{"--warc-file", "", "NAME", "record every request and answer in the archive NAME.warc.gz",
        ValueKind::File},
       [](L& l, const std::string& v, std::string& error) {
         // A name given with the files' own ending names that file, not NAME.warc.gz.warc.gz.
         l.archive.warcFile = v;
         for (const char* ending : {".warc.gz", ".warc"}) {
           if (v.ends_with(ending) && v.size() > std::strlen(ending)) {
             l.archive.warcFile.resize(v.size() - std::strlen(ending));
             break;
           }
         }
         if (v.empty())
           error = "option --warc-file needs a name";
         return !v.empty();
       }},
      {{"--warc-max-size", "", "BYTES",
        "with --warc-file: begin NAME-00001.warc.gz and so on once a file holds BYTES, k and M "
        "allowed",
        ValueKind::Number},
       [](L& l, const std::string& v, std::string& error) {
         if (ParseRate(v, l.archive.maxSize))
           return true;
         error = "option --warc-max-size needs a number of bytes above 0, not '" + v + "'";
         return false;
       }},
      {{"--wacz", "", "FILE",
        "pack the archive as a WACZ file, which archive players open, once the crawl ends",
        ValueKind::File},
       [](L& l, const std::string& v, std::string& error) {
         l.archive.wacz = v;
         if (v.empty())
           error = "option --wacz needs a file";
         return !v.empty();
       }},
      {{"--no-copy", "", "", "with --warc-file or --wacz: keep the archive alone, no copy on disk",
        ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.archive.noCopy = true; }},
      {{"--warc-cdx", "", "", "with --warc-file: write its index as NAME.cdxj", ValueKind::None},
       [](L& l, const std::string&, std::string&) { return l.archive.cdx = true; }},
      {{"--warc-dedup", "", "FILE",
        "with --warc-file: record an answer whose body is in the index FILE (CDXJ, or /dev/null "
        "for none) or already in this archive as a revisit",
        ValueKind::File},
       [](L& l, const std::string& v, std::string& error) {
         if (access(v.c_str(), R_OK) != 0) {
           error = "option --warc-dedup cannot read '" + v + "'";
           return false;
         }
         l.archive.dedup = true;
         l.archive.dedupIndex = v;
         return true;
       }},
  };
}

}  // namespace

const std::vector<CrawlOption>& CrawlOptions() {
  static const std::vector<CrawlOption> options = [] {
    std::vector<CrawlOption> all = NetworkAndCopyOptions();
    for (auto group :
         {RecursionOptions(), NamingOptions(), ScopeOptions(), IdentityOptions(), ArchiveOptions()})
      all.insert(all.end(), group.begin(), group.end());
    return all;
  }();
  return options;
}

const CrawlOption* FindCrawlOption(std::string_view name) {
  for (const CrawlOption& option : CrawlOptions()) {
    if (option.text.Named(name))
      return &option;
  }
  return nullptr;
}
