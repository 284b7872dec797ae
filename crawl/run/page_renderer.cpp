#include "crawl/run/page_renderer.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "crawl/base/fetched_file.h"
#include "crawl/run/render_protocol.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

using namespace render_protocol;

}  // namespace

PageRenderer::PageRenderer(RenderHost& host, int tabs, RenderBudget budget)
    : m_host(host), m_mostTabs(tabs > 0 ? tabs : 1), m_budget(budget) {}

PageRenderer::~PageRenderer() {
  Stop();
}

bool PageRenderer::Start(std::string& why) {
  const std::optional<std::string> program = BrowserPipe::Program();
  if (!program) {
    why = "needs Chromium (the package chromium)";
    return false;
  }
  m_program = *program;
  return StartBrowser(why);
}

bool PageRenderer::StartBrowser(std::string& why) {
  std::string profile = (std::filesystem::temp_directory_path() / "kelvane-browser-XXXXXX");
  if (::mkdtemp(profile.data()) == nullptr) {
    why = "no directory for the browser's profile";
    return false;
  }
  m_profile = profile;
  m_browser = std::make_unique<BrowserPipe>();
  if (!m_browser->Start(m_program, m_profile, why))
    return false;
  m_browser->OnEvent([this](const std::string& method, const Json& params,
                            const std::string& session) { OnEvent(method, params, session); });
  m_browser->Send("Browser.setDownloadBehavior", {{"behavior", "deny"}});
  m_browser->Send("Target.setDiscoverTargets", {{"discover", true}});
  m_browser->Send("Target.setAutoAttach", PausedChildren());
  // What no page's session takes (a worker's worker, a shared worker) is paused here.
  m_browser->Send("Fetch.enable", EveryRequest());
  return true;
}

void PageRenderer::Stop() {
  if (m_browser)
    m_browser->Stop();
  m_browser.reset();
  m_tabs.clear();
  m_idle.clear();
  m_sessions.clear();
  m_waiting.clear();
  m_asks.clear();
  m_asked.clear();
  m_queued.clear();
  if (!m_profile.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(m_profile, ignored);
    m_profile.clear();
  }
}

void PageRenderer::Load(std::string url, std::string bytes, std::string contentType, int depth) {
  if (m_withoutScripts || !m_browser) {
    m_withoutScriptsCount += m_withoutScripts ? 1 : 0;
    return;
  }
  m_queue.push_back(Page{std::move(url), std::move(bytes), std::move(contentType), depth});
  OpenTabs();
}

void PageRenderer::OpenTabs() {
  while (!m_queue.empty() && static_cast<int>(m_tabs.size()) < m_mostTabs && m_browser) {
    auto tab = std::make_unique<Tab>();
    tab->id = m_nextTab++;
    tab->page = std::move(m_queue.front());
    m_queue.pop_front();
    const int id = tab->id;
    if (!m_idle.empty()) {
      const Idle idle = std::move(m_idle.back());
      m_idle.pop_back();
      tab->targetId = idle.target;
      m_targets[idle.target] = id;
      m_tabs[id] = std::move(tab);
      Attached(id, idle.session, false);
      continue;
    }
    m_tabs[id] = std::move(tab);
    // A window of its own: a tab behind another in one window is drawn slowly.
    m_browser->Send("Target.createTarget", {{"url", "about:blank"}, {"newWindow", true}}, {},
                    [this, id](const Json& reply) {
                      const std::string target =
                          reply.value("result", Json::object()).value("targetId", "");
                      auto found = m_tabs.find(id);
                      if (found == m_tabs.end() || target.empty())
                        return;
                      found->second->targetId = target;
                      m_targets[target] = id;
                      // Its attachment may have come before this reply.
                      if (auto early = m_unclaimed.find(target); early != m_unclaimed.end()) {
                        const std::string session = early->second;
                        m_unclaimed.erase(early);
                        Attached(id, session);
                      }
                    });
  }
}
void PageRenderer::Attached(int id, const std::string& session, bool fresh) {
  auto found = m_tabs.find(id);
  if (found == m_tabs.end() || session.empty())
    return;
  Tab& tab = *found->second;
  tab.session = session;
  m_sessions[session] = id;
  // A window kept from an earlier page has every setting still.
  if (!fresh) {
    m_browser->Send("Page.navigate", {{"url", tab.page.url}}, session);
    return;
  }
  // Every setting takes hold before the page comes: sent together, a page may commit first and
  // never report its load.
  const std::pair<const char*, Json> setup[] = {
      {"Page.enable", Json::object()},
      {"Inspector.enable", Json::object()},
      {"Page.addScriptToEvaluateOnNewDocument", {{"source", kTame}}},
      {"Fetch.enable", EveryRequest()},
      {"Target.setAutoAttach", PausedChildren()},
      {"Runtime.runIfWaitingForDebugger", Json::object()},
  };
  auto left = std::make_shared<int>(static_cast<int>(std::size(setup)));
  for (const auto& [method, params] : setup) {
    m_browser->Send(method, params, session, [this, id, left](const Json&) {
      auto ready = m_tabs.find(id);
      if (--*left == 0 && ready != m_tabs.end())
        m_browser->Send("Page.navigate", {{"url", ready->second->page.url}},
                        ready->second->session);
    });
  }
}
PageRenderer::Tab* PageRenderer::TabOf(const std::string& session) {
  auto found = m_sessions.find(session);
  if (found == m_sessions.end())
    return nullptr;
  auto tab = m_tabs.find(found->second);
  return tab == m_tabs.end() ? nullptr : tab->second.get();
}

void PageRenderer::OnEvent(const std::string& method, const Json& params,
                           const std::string& session) {
  if (method == "Target.targetCreated") {
    // A worker's worker asks through the browser, named by the page it came from.
    const Json info = params.value("targetInfo", Json::object());
    if (!info.value("parentFrameId", "").empty())
      m_parents[info.value("targetId", "")] = info.value("parentFrameId", "");
    return;
  }
  if (method == "Target.attachedToTarget")
    return ChildAttached(params, session);
  if (method == "Page.javascriptDialogOpening") {
    m_browser->Send("Page.handleJavaScriptDialog", {{"accept", false}}, session);
    return;
  }
  if (method == "Fetch.requestPaused" && session.empty())
    return BrowserPaused(params);
  Tab* tab = TabOf(session);
  if (tab == nullptr)
    return;
  if (method == "Fetch.requestPaused") {
    RequestPaused(*tab, params, session);
  } else if (method == "Inspector.targetCrashed" && session == tab->session) {
    Close(*tab, "the page's renderer crashed");
  } else if (!tab->documentServed) {
    return;  // the page the window held before, or its blank
  } else if (method == "Page.domContentEventFired") {
    tab->shown = true;
  } else if (method == "Page.loadEventFired") {
    tab->shown = tab->loaded = true;
    tab->lastActivity = SteadyClock::now();
  }
}

void PageRenderer::BrowserPaused(const Json& params) {
  std::string frame = params.value("frameId", "");
  if (auto parent = m_parents.find(frame); parent != m_parents.end())
    frame = parent->second;
  auto target = m_targets.find(frame);
  auto tab = target == m_targets.end() ? m_tabs.end() : m_tabs.find(target->second);
  if (tab == m_tabs.end())
    return Fail({}, params.value("requestId", ""), "BlockedByClient");
  RequestPaused(*tab->second, params, {});
}
void PageRenderer::ChildAttached(const Json& params, const std::string& parent) {
  const std::string child = params.value("sessionId", "");
  const Json info = params.value("targetInfo", Json::object());
  const std::string type = info.value("type", "");
  const std::string target = info.value("targetId", "");
  if (child.empty())
    return;
  if (type == "page" && parent.empty() && info.value("openerId", "").empty()) {
    // One of the tabs opened here, maybe before its creation was answered.
    if (auto tab = m_targets.find(target); tab != m_targets.end())
      return Attached(tab->second, child);
    if (params.value("waitingForDebugger", false))
      m_unclaimed[target] = child;
    return;
  }
  if (auto owner = m_sessions.find(parent); owner != m_sessions.end())
    m_sessions[child] = owner->second;
  // A frame of another site asks through its own session; a window a page opened all the same
  // is let go only to be closed, its document refused.
  if (type == "iframe" || type == "page" || type == "service_worker") {
    m_browser->Send("Fetch.enable", EveryRequest(), child);
    m_browser->Send("Target.setAutoAttach", PausedChildren(), child);
  }
  m_browser->Send("Runtime.runIfWaitingForDebugger", Json::object(), child);
  if (type == "page")
    m_browser->Send("Target.closeTarget", {{"targetId", target}});
}
void PageRenderer::RequestPaused(Tab& tab, const Json& params, const std::string& session) {
  const std::string requestId = params.value("requestId", "");
  const std::string url = params.value("request", Json::object()).value("url", "");
  const bool document = params.value("resourceType", "") == "Document";
  const std::string frame = params.value("frameId", "");
  tab.lastActivity = SteadyClock::now();
  if (document && !tab.documentServed && Normal(url) == Normal(tab.page.url)) {
    tab.documentServed = true;
    tab.started = SteadyClock::now();  // the page's time runs from here
    return Fulfil(Paused{tab.id, session, requestId},
                  RenderAnswer{200, tab.page.contentType, tab.page.bytes, {}});
  }
  // No navigation away from the page (the page stays as it is), nothing past its budget, and
  // nothing of the page the window held before.
  if (!tab.documentServed || (document && frame == tab.targetId))
    return Fail(session, requestId, "Aborted");
  if (!IsHttpUrl(url) || !Readable(params) || ++tab.requests > m_budget.requests ||
      tab.bytes > m_budget.bytes || BrowsersOwn(params))
    return Fail(session, requestId, "BlockedByClient");
  const std::string address = Normal(url);
  ++tab.pending;
  // One ask of the crawl answers every tab that waits for the address.
  m_waiting.emplace(address, Paused{tab.id, session, requestId});
  if (m_asked.count(address) == 0 && m_queued.insert(address).second) {
    m_asks[tab.id].push_back(address);
    HandOver();
  }
}

void PageRenderer::HandOver() {
  // A few asks at a time, taken from the tabs in turn: a page that asks without end holds back
  // no other page's files.
  while (static_cast<int>(m_asked.size()) < 2 * m_mostTabs && !m_asks.empty()) {
    auto next = m_asks.upper_bound(m_lastAsker);
    if (next == m_asks.end())
      next = m_asks.begin();
    m_lastAsker = next->first;
    const std::string address = std::move(next->second.front());
    next->second.pop_front();
    m_queued.erase(address);
    if (next->second.empty())
      m_asks.erase(next);
    auto tab = m_tabs.find(m_lastAsker);
    m_asked.insert(address);
    if (!m_host.Want(address, tab == m_tabs.end() ? std::string() : tab->second->page.url,
                     tab == m_tabs.end() ? 0 : tab->second->page.depth))
      Answer(address, std::nullopt);
  }
}

void PageRenderer::Answer(const std::string& url, const std::optional<RenderAnswer>& answer) {
  const bool asked = m_asked.erase(url) != 0;
  auto [first, last] = m_waiting.equal_range(url);
  std::vector<Paused> answered;
  for (auto waiting = first; waiting != last; ++waiting)
    answered.push_back(waiting->second);
  m_waiting.erase(first, last);
  for (const Paused& paused : answered) {
    auto tab = m_tabs.find(paused.tab);
    if (tab == m_tabs.end())
      continue;
    --tab->second->pending;
    tab->second->lastActivity = SteadyClock::now();
    if (answer) {
      tab->second->bytes += static_cast<int64_t>(answer->body.size());
      Fulfil(paused, *answer);
    } else {
      Fail(paused.session, paused.requestId, "BlockedByClient");
    }
  }
  if (asked)
    HandOver();
}

void PageRenderer::Fulfil(const Paused& paused, const RenderAnswer& answer) {
  m_browser->Send("Fetch.fulfillRequest",
                  {{"requestId", paused.requestId},
                   {"responseCode", answer.status},
                   {"responseHeaders", AnswerHeaders(answer.contentType, answer.location)},
                   {"body", Base64(answer.body)}},
                  paused.session);
}

void PageRenderer::Fail(const std::string& session, const std::string& requestId,
                        const char* reason) {
  m_browser->Send("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", reason}},
                  session);
}
void PageRenderer::Pump(int waitMs) {
  if (!m_browser)
    return;
  if (!m_browser->Pump(waitMs))
    return BrowserEnded();
  std::vector<int> ids;
  for (const auto& [id, tab] : m_tabs)
    ids.push_back(id);
  for (const int id : ids) {
    auto tab = m_tabs.find(id);
    if (tab != m_tabs.end())
      Step(*tab->second);
  }
  OpenTabs();
  // A window no page is waiting for is blanked, its scripts ended, until the next comes.
  for (Idle& idle : m_idle) {
    if (!std::exchange(idle.blank, true) && m_browser)
      m_browser->Send("Page.navigate", {{"url", "about:blank"}}, idle.session);
  }
}

void PageRenderer::Step(Tab& tab) {
  const SteadyClock::time_point now = SteadyClock::now();
  // A tab the browser never brought to its page is given up.
  if (!tab.documentServed) {
    if (now - tab.started > m_budget.time + std::chrono::seconds(10))
      Close(tab, "the browser did not open it");
    return;
  }
  if (now - tab.started > m_budget.time) {
    // A page that does not even give its links a while after (a script that never returns) is
    // closed as it stands: what its scripts loaded is kept, and its budget was said.
    if (tab.closing && now - tab.started > m_budget.time + std::chrono::seconds(2))
      return Close(tab, {}, false);
    if (tab.closing)
      return;
    ++m_stoppedCount;
    m_host.Say("Scripts stopped at the page's budget: " + tab.page.url);
    // A page not even parsed may be stuck in a script: its window goes with it.
    return tab.shown ? TakeLinks(tab) : Close(tab, {}, false);
  }
  if (tab.closing || !tab.shown || tab.asking)
    return;
  // Down a screen at a time, whatever the page is still loading (a slow picture holds back its
  // load event, not its reader), as a reader scrolls.
  if (!tab.atEnd && tab.scrolls < m_budget.scrolls)
    return Scroll(tab);
  if (tab.loaded && tab.pending == 0 && now - tab.lastActivity >= m_budget.quiet) {
    // What a page set watching late (a script of a script) is looked for once more.
    if (tab.unwatched == 1) {
      tab.unwatched = 2;
      tab.atEnd = false;
      return Scroll(tab);
    }
    // A quiet network is not enough: a browser short of time may not yet have read the last
    // answers, and what they import is still to be asked for.
    if (tab.settled < tab.lastActivity)
      return Settle(tab);
    // What the page asked for just before it settled may still be on its way here.
    if (now - tab.settled >= m_budget.quiet / 2)
      TakeLinks(tab);
  }
}

void PageRenderer::Ask(Tab& tab, const char* expression,
                       std::function<void(Tab&, const Json&)> then) {
  tab.asking = true;
  const int id = tab.id;
  m_browser->Send("Runtime.evaluate",
                  {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}},
                  tab.session, [this, id, then = std::move(then)](const Json& reply) {
                    auto found = m_tabs.find(id);
                    if (found == m_tabs.end())
                      return;
                    found->second->asking = false;
                    then(*found->second, reply.value("result", Json::object())
                                             .value("result", Json::object())
                                             .value("value", Json()));
                  });
}

void PageRenderer::Scroll(Tab& tab) {
  ++tab.scrolls;
  Ask(tab, kScroll, [](Tab& asked, const Json& value) {
    if (value.is_string()) {
      asked.unwatched = std::max(asked.unwatched, 1);
      --asked.scrolls;
    }
    asked.atEnd = !value.is_boolean() || value.get<bool>();
  });
}

void PageRenderer::Settle(Tab& tab) {
  // The page and each of its workers and frames, every one of which may still run what it got.
  auto left = std::make_shared<int>(0);
  const SteadyClock::time_point sent = SteadyClock::now();
  for (const auto& [session, owner] : m_sessions) {
    if (owner != tab.id || session == tab.session)
      continue;
    ++*left;
    m_browser->Send("Runtime.evaluate", {{"expression", kIdle}, {"awaitPromise", true}}, session,
                    [left](const Json&) { --*left; });
  }
  Ask(tab, kIdle, [sent, left](Tab& asked, const Json&) {
    // A worker that is still busy has its answer come later: the page is asked again then.
    if (asked.lastActivity <= sent && *left == 0)
      asked.settled = SteadyClock::now();
  });
}

void PageRenderer::TakeLinks(Tab& tab) {
  tab.closing = true;
  Ask(tab, kLinks, [this](Tab& done, const Json& links) {
    for (const Json& link : links) {
      if (link.is_string())
        m_host.FoundLink(Normal(link.get<std::string>()), done.page.url, done.page.depth);
    }
    Close(done);
  });
}

void PageRenderer::Close(Tab& tab, const std::string& why, bool keepWindow) {
  if (!why.empty()) {
    ++m_withoutScriptsCount;
    m_host.Say("Read without scripts (" + why + "): " + tab.page.url);
  }
  if (why.empty() && keepWindow && !tab.session.empty()) {
    m_idle.push_back({tab.targetId, tab.session});
  } else if (!tab.targetId.empty()) {
    m_browser->Send("Target.closeTarget", {{"targetId", tab.targetId}});
  }
  m_targets.erase(tab.targetId);
  DropAsks(tab.id);
  for (auto session = m_sessions.begin(); session != m_sessions.end();) {
    session = session->second == tab.id ? m_sessions.erase(session) : std::next(session);
  }
  m_tabs.erase(tab.id);
}

void PageRenderer::DropAsks(int tab) {
  for (auto waiting = m_waiting.begin(); waiting != m_waiting.end();)
    waiting = waiting->second.tab == tab ? m_waiting.erase(waiting) : std::next(waiting);
  auto asks = m_asks.find(tab);
  if (asks == m_asks.end())
    return;
  // What another tab waits for too is asked for it instead.
  for (const std::string& address : asks->second) {
    auto other = m_waiting.find(address);
    if (other == m_waiting.end())
      m_queued.erase(address);
    else
      m_asks[other->second.tab].push_back(address);
  }
  m_asks.erase(tab);
}

void PageRenderer::BrowserEnded() {
  for (const auto& [id, tab] : m_tabs) {
    ++m_withoutScriptsCount;
    m_host.Say("Read without scripts (the browser ended): " + tab->page.url);
  }
  std::deque<Page> queued = std::move(m_queue);
  Stop();
  std::string why;
  if (m_restarts++ == 0 && StartBrowser(why)) {
    m_queue = std::move(queued);
    OpenTabs();
    return;
  }
  m_withoutScripts = true;
  m_withoutScriptsCount += static_cast<int>(queued.size());
  m_host.Say("The browser ended twice: the rest of the crawl reads pages without scripts");
}
