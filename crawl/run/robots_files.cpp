#include "crawl/run/robots_files.h"

#include <thread>

#include "crawl/base/crawl_dialog.h"
#include "crawl/rules/scope_rules.h"
#include "crawl/run/http_fetcher.h"
#include "platform/ascii.h"
#include "platform/transfer_slots.h"

namespace {

constexpr size_t kLargest = 512 * 1024;  // what is read of a file; the rest is not looked at

// The file's text as it comes, up to what is read of it.
struct TextSink : TransferSink {
  void OnAnswer(const AnswerInfo&) override {}
  Take OnBody(const char* data, size_t size) override {
    text.append(data, std::min(size, kLargest - text.size()));
    return text.size() < kLargest ? Take::All : Take::Refuse;
  }
  void OnEnd(const TransferResult& ended) { result = ended; }
  std::string text;
  std::optional<TransferResult> result;
};

// The path of an address as its request sends it: escapes one way, "." and ".." resolved, a
// doubled "/" within it kept.
std::string RequestPath(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t slash = url.find('/', scheme + 3);
  if (slash == std::string::npos)
    return "/";
  const size_t query = url.find('?', slash);
  return ComparablePath(url.substr(slash, query == std::string::npos ? query : query - slash),
                        true) +
         (query == std::string::npos ? std::string() : NormalEscapes(url.substr(query)));
}

}  // namespace

// The file's text into the sink, and how its transfer ended.
TransferResult FetchText(Transport& transport, const TransferRequest& request, TextSink& sink) {
  TransferSlots slot(1, transport,
                     [&sink](int, const TransferResult& ended) { sink.OnEnd(ended); });
  TransferResult failure;
  std::string errorText;
  if (!slot.Start(0, request, sink, failure))
    return failure;
  while (!sink.result && StopFlag() == 0) {
    if (!slot.Pump(kPollMs, errorText))
      sink.result = TransferResult::Failure(errorText);
  }
  return sink.result.value_or(TransferResult::Failure("stopped"));
}

namespace {

// The request waits its turn with its server, as every request of the crawl does.
void AwaitTurn(Politeness& politeness, const std::string& server) {
  for (auto wait = politeness.ClaimStart(server); wait.count() > 0 && StopFlag() == 0;
       wait = politeness.ClaimStart(server))
    std::this_thread::sleep_for(std::min(wait, std::chrono::milliseconds(kPollMs)));
}

}  // namespace

std::string ServerOrigin(const std::string& url) {
  std::string server;
  std::string objectName;
  CutAddress(IsHttpUrl(url) ? url : "http://" + url, server, objectName);
  return (StartsWithNoCase(url, "https://") ? "https://" : "http://") + server;
}

RobotsFiles::RobotsFiles(Transport& transport, const CrawlPlan& plan)
    : m_transport(transport), m_plan(plan) {}

// A server's robots.txt: its rules on 2xx, everything allowed on 3xx (a redirect not followed)
// and 4xx, nothing on anything else (5xx, no answer), as crawlers are asked to read it.
RobotsFiles::FileRead RobotsFiles::FetchPolitely(const TransferRequest& request,
                                                 const std::string& address) {
  TextSink sink;
  SteadyClock::time_point started;
  std::optional<TransferResult> read;
  for (int tries = 0; !read; ++tries) {
    sink = TextSink();
    AwaitTurn(m_transport.Polite(), request.server);
    started = SteadyClock::now();
    read = FetchText(m_transport, request, sink);
    // With the web rules, a server that asks for a pause gets it here too, as for any file.
    const std::optional<std::chrono::milliseconds> pause =
        m_plan.completePages && tries < kMostPauses ? read->PauseAsked(tries) : std::nullopt;
    if (!pause)
      break;
    ++m_pauses;
    Log("Paused at the server's request: " + address + " (HTTP " + std::to_string(read->status) +
        "), asked again in " + std::to_string((pause->count() + 999) / 1000) + " s");
    const SteadyClock::time_point until = SteadyClock::now() + *pause;
    m_transport.Polite().HoldOff(request.server, until);
    while (SteadyClock::now() < until && StopFlag() == 0)
      std::this_thread::sleep_for(std::min<SteadyClock::duration>(
          until - SteadyClock::now(), std::chrono::milliseconds(kPollMs)));
    if (StopFlag() == 0)
      read.reset();
  }
  return FileRead{*read, std::move(sink.text), started};
}

RobotsRules RobotsFiles::ReadFile(const std::string& origin) {
  const std::string address = origin + "/robots.txt";
  TransferRequest request = RequestFor(address, true, m_transport.Polite().RateLimited());
  // The file may move anywhere but to a server the plan keeps out.
  request.mayRedirect = [this](const std::string& target) {
    return IsHttpUrl(target) && !ServerExcluded(m_plan.scope, ServerOrigin(target));
  };
  // Read as the web is read, the file is asked for as no page's: with no Referer.
  if (m_plan.completePages)
    request.referrer.clear();
  FileRead read = FetchPolitely(request, address);
  const TransferResult& result = read.result;
  if (result.end == TransferEnd::Failed) {
    Log("Robots rules: " + address + " could not be read (" + result.text +
        "): nothing there is fetched");
    return RobotsRules::DisallowAll();
  }
  Log("Robots rules: " + address + " (HTTP " + std::to_string(result.status) + ")");
  if (result.status >= 200 && result.status < 300) {
    RobotsRules rules = RobotsRules::Parse(read.text, ProductToken(m_transport.UserAgent()));
    // The delay holds from the server's first request, which was for this file.
    if (const std::optional<long> delay = rules.CrawlDelayMs()) {
      m_transport.Polite().SetWait(request.server, *delay);
      m_transport.Polite().Started(request.server, read.started);
    }
    return rules;
  }
  if (result.status >= 300 && result.status < 500)
    return RobotsRules::AllowAll();
  return RobotsRules::DisallowAll();
}

void RobotsFiles::ReadFirst(const std::string& url) {
  if (!IsHttpUrl(url))
    return;
  const std::string origin = ServerOrigin(url);
  if (m_files.count(origin) == 0) {
    m_files.emplace(origin, ReadFile(origin));
    m_wanted.erase(origin);
  }
}

std::optional<std::string> RobotsFiles::Allow(const std::string& url, bool mayRead) {
  // robots.txt is a matter of http and https servers alone.
  if (!IsHttpUrl(url))
    return std::nullopt;
  const std::string origin = ServerOrigin(url);
  auto found = m_files.find(origin);
  if (found == m_files.end() && !mayRead) {
    m_wanted.insert(origin);
    return std::string("robots.txt not read yet");
  }
  if (found == m_files.end()) {
    found = m_files.emplace(origin, ReadFile(origin)).first;
    m_wanted.erase(origin);
  }
  // A redirect is judged between pages, with a budget of its own.
  int64_t redirectBudget = kWorkPerPage;
  switch (found->second.Judge(RequestPath(url), mayRead ? m_budget : redirectBudget)) {
    case RobotsRules::Answer::Allowed:
      return std::nullopt;
    case RobotsRules::Answer::Disallowed:
      return "disallowed by robots.txt";
    case RobotsRules::Answer::TooCostly:
      break;
  }
  return "robots.txt too costly to match";
}
