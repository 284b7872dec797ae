#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "crawl/base/crawl_plan.h"
#include "crawl/rules/robots_rules.h"
#include "platform/transfer.h"
#include "platform/transport.h"

// The robots.txt of each server a crawl reaches, read once over the crawl's own transport (its
// wait, user agent and stall clock) and judged with a limit on the work per page.
class RobotsFiles {
 public:
  RobotsFiles(Transport& transport, const CrawlPlan& plan);

  // Whether the robots.txt of the address's server allows it: nothing when it does, else why
  // not. mayRead: the file may be read now if it has not been; a redirect, judged during its
  // transfer, may not, and one to a server whose file is unread waits for it.
  std::optional<std::string> Allow(const std::string& url, bool mayRead);
  // Reads the robots.txt of the address's server, where it has not been read: it comes before
  // the server's first other file, whatever that is.
  void ReadFirst(const std::string& url);
  // The links of another page are judged: the work they may take starts afresh.
  void NewPage() { m_budget = kWorkPerPage; }
  // Whether the file of a server ("scheme://server") has been read.
  bool Read(const std::string& origin) const { return m_files.count(origin) != 0; }
  // Whether a redirect waits for the file of a server.
  bool Wanted(const std::string& origin) const { return m_wanted.count(origin) != 0; }
  // How often a server asked for a pause before its file.
  int Pauses() const { return m_pauses; }

 private:
  RobotsRules ReadFile(const std::string& origin);
  // The file asked for in its server's turn, and again after each pause the server asks for.
  struct FileRead {
    TransferResult result;
    std::string text;
    SteadyClock::time_point started;  // its last request
  };
  FileRead FetchPolitely(const TransferRequest& request, const std::string& address);

  // The work robots.txt rules may take over the links of one page.
  static constexpr int64_t kWorkPerPage = int64_t{1} << 28;

  Transport& m_transport;
  const CrawlPlan& m_plan;
  std::map<std::string, RobotsRules> m_files;  // by "scheme://server"
  std::set<std::string> m_wanted;
  int64_t m_budget = kWorkPerPage;
  int m_pauses = 0;
};

// "scheme://server" of an address, the scheme in lower case: http and https of one host are
// two servers to reach.
std::string ServerOrigin(const std::string& url);
