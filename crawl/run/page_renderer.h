#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/browser_pipe.h"
#include "platform/watched_fd.h"

// What a page's scripts ask of the crawl, and what they leave in the page.
class RenderHost {
 public:
  virtual ~RenderHost() = default;
  // A file a page asks for, by its address: answered (PageRenderer::Answer) at once where the
  // crawl holds it, else once its transfer ends; false where the crawl's rules leave it out.
  virtual bool Want(const std::string& url, const std::string& page, int depth) = 0;
  // A link of the page as its scripts left it.
  virtual void FoundLink(const std::string& url, const std::string& page, int depth) = 0;
  virtual void Say(const std::string& text) = 0;
};

// A file's answer as a page is given it.
struct RenderAnswer {
  int status = 200;
  std::string contentType;
  std::string body;
  std::string location;  // where a redirect sends it
};

// How much one page may take: past any of these its scripts are stopped where they are.
struct RenderBudget {
  std::chrono::milliseconds time{30000};
  int requests = 1000;
  int64_t bytes = int64_t{256} << 20;
  std::chrono::milliseconds quiet{500};  // no request pending this long: the page is loaded
  int scrolls = 50;                      // steps of a screen's height, for lazy pictures
};

// Loads the crawl's pages in a headless Chromium, several tabs at once, and answers every
// request a page makes from the crawl: nothing reaches the network but through the crawl's own
// transfers. A page is done once it is scrolled to its end and quiet, or at its budget; its
// links, as its scripts left them, go back to the crawl.
class PageRenderer {
 public:
  PageRenderer(RenderHost& host, int tabs, RenderBudget budget = {});
  ~PageRenderer();
  PageRenderer(const PageRenderer&) = delete;
  PageRenderer& operator=(const PageRenderer&) = delete;

  // Starts the browser; false, with why, when there is none or it does not start.
  bool Start(std::string& why);
  // A page to load: its address, its bytes and their type, and its depth.
  void Load(std::string url, std::string bytes, std::string contentType, int depth);
  // The answer to a file pages asked for, now the crawl has it; none where it has nothing.
  void Answer(const std::string& url, const std::optional<RenderAnswer>& answer);
  // Moves the tabs on for at most waitMs.
  void Pump(int waitMs);
  std::vector<WatchedFd> Watched() const {
    return m_browser ? m_browser->Watched() : std::vector<WatchedFd>();
  }
  // Pages waiting or loading.
  bool Busy() const { return !m_queue.empty() || !m_tabs.empty(); }
  // The pages read without their scripts: a tab that failed, or after the browser did twice.
  int WithoutScripts() const { return m_withoutScriptsCount; }
  int StoppedAtBudget() const { return m_stoppedCount; }
  void Stop();

 private:
  struct Page {
    std::string url;
    std::string bytes;
    std::string contentType;
    int depth = 0;
  };
  struct Tab {
    int id = 0;
    Page page;
    std::string targetId;
    std::string session;
    bool documentServed = false;
    bool shown = false;  // its document parsed: a reader sees it and scrolls
    bool loaded = false;
    bool atEnd = false;
    int unwatched = 0;    // 1: nothing reacts to scrolling; 2: and looked for again
    bool asking = false;  // an evaluation is under way
    bool closing = false;
    int scrolls = 0;
    int requests = 0;
    int pending = 0;
    int64_t bytes = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    // When the page and its workers last said they had nothing left to do.
    std::chrono::steady_clock::time_point settled{};
  };
  struct Paused {
    int tab;
    std::string session;
    std::string requestId;
  };
  using Json = BrowserPipe::Json;

  bool StartBrowser(std::string& why);
  void OpenTabs();
  void Attached(int tab, const std::string& session, bool fresh = true);
  void OnEvent(const std::string& method, const Json& params, const std::string& session);
  void RequestPaused(Tab& tab, const Json& params, const std::string& session);
  void ChildAttached(const Json& params, const std::string& parent);
  // A request no tab's session took: a worker's worker's, asked through the browser.
  void BrowserPaused(const Json& params);
  // Hands the crawl the next asks, while few enough are under way.
  void HandOver();
  // A tab closes: its requests are no one's, and what it was to ask goes to another that waits.
  void DropAsks(int tab);
  void Fulfil(const Paused& paused, const RenderAnswer& answer);
  void Fail(const std::string& session, const std::string& requestId, const char* reason);
  void Step(Tab& tab);
  // Evaluates an expression in the tab's page; then, with its value, if the tab is still open.
  void Ask(Tab& tab, const char* expression, std::function<void(Tab&, const Json&)> then);
  void Scroll(Tab& tab);
  void Settle(Tab& tab);
  void TakeLinks(Tab& tab);
  // A tab is done; said why where its page was read without scripts. Its window is kept for the
  // next page unless it failed or its page still runs.
  void Close(Tab& tab, const std::string& why = {}, bool keepWindow = true);
  void BrowserEnded();
  Tab* TabOf(const std::string& session);

  RenderHost& m_host;
  const int m_mostTabs;
  const RenderBudget m_budget;
  std::unique_ptr<BrowserPipe> m_browser;
  std::string m_program;
  std::string m_profile;  // the browser's own directory, removed with it
  int m_restarts = 0;
  bool m_withoutScripts = false;  // the browser failed twice: pages are read as they came
  int m_withoutScriptsCount = 0;
  int m_stoppedCount = 0;
  std::deque<Page> m_queue;
  std::map<int, std::unique_ptr<Tab>> m_tabs;
  int m_nextTab = 1;
  std::map<std::string, int> m_sessions;          // a tab's sessions, its workers' and frames'
  std::multimap<std::string, Paused> m_waiting;   // by address
  std::map<int, std::deque<std::string>> m_asks;  // by tab: addresses not yet asked of the crawl
  std::set<std::string> m_asked;                  // asked, and not yet answered
  std::set<std::string> m_queued;                 // in a tab's asks
  int m_lastAsker = 0;
  std::map<std::string, int> m_targets;            // tabs by their target, the page's frame
  std::map<std::string, std::string> m_unclaimed;  // tabs attached before their creation's reply
  std::map<std::string, std::string> m_parents;    // workers' targets: the page they came from
  // Windows whose page is done, kept for the next: a new window costs the browser a process.
  struct Idle {
    std::string target;
    std::string session;
    bool blank = false;  // sent to a blank page, its scripts ended
  };
  std::vector<Idle> m_idle;
};
