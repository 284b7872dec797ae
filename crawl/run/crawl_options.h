#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crawl/base/crawl_plan.h"

// What a crawl is asked to do beyond its start, as option values: the console program takes
// them from its arguments and the window from its preferences, each through the one table below,
// and both make their crawl plan of them with PlanOf.
struct CrawlSettings {
  long connectTimeoutMs = 30000;
  long stallTimeoutMs = 60000;
  std::string caCertificate;
  int jobs = 1;                  // files in transfer at once; 1 is the one-at-a-time crawl
  long waitMs = 0;               // between the starts of two requests to one server
  long long limitRate = 0;       // bytes per second for the whole crawl; 0 for none
  bool pageRequisites = false;   // complete pages: what each page needs, fetched too
  bool convertLinks = false;     // the copy's links rewritten to read from disk
  bool adjustExtension = false;  // pages named .html, stylesheets .css
  bool update = false;           // earlier copies asked for again if they changed
  // What the crawl takes: links from the start page (0: no limit), names, addresses,
  // directories.
  int level = 0;
  std::vector<std::string> accept;
  std::vector<std::string> reject;
  std::string acceptRegex;
  std::string rejectRegex;
  std::vector<std::string> includeDirectories;
  std::vector<std::string> excludeDirectories;
  bool robots = false;     // each server's robots.txt obeyed
  bool spanHosts = false;  // with complete pages, other servers too
  std::vector<std::string> domains;
  std::vector<std::string> excludeDomains;
  // Who the crawl says it is.
  std::string userAgent;             // empty: the program's own name
  std::vector<std::string> headers;  // more request header lines, "Name: value"
  std::string loadCookies;           // Netscape cookie files, read before and written after
  std::string saveCookies;
  std::string user;  // HTTP authentication with the start address's server
  std::string password;
  bool netrc = false;
  long long quota = 0;        // bytes stored before no new file is fetched; 0: none
  long long maxFileSize = 0;  // bytes; 0: the file area's limit alone
};

// How the shell completes an option's value.
enum class ValueKind { None, Directory, File, Number, Text };

// One option of a crawl, named as kelvane-cli names it.
struct CrawlOption {
  std::string_view name;       // "--jobs"
  std::string_view shortName;  // "-p", or empty
  std::string_view value;      // the value's name in --help ("N"), empty for a switch
  std::string_view help;
  ValueKind kind;
  // Takes the value into the settings; false, with error set, when it is not one.
  bool (*apply)(CrawlSettings& settings, const std::string& value, std::string& error);
};

const std::vector<CrawlOption>& CrawlOptions();
const CrawlOption* FindCrawlOption(std::string_view name);

// The user and password written into an address before its server, taken out of it.
std::optional<std::pair<std::string, std::string>> TakeUserInfo(std::string& url);

// The plan of a crawl from its start and its settings.
CrawlPlan PlanOf(const CrawlSettings& settings, const CrawlStart& start);
