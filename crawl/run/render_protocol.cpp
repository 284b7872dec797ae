#include "crawl/run/render_protocol.h"

#include "platform/ascii.h"
#include "platform/url_resolve.h"

namespace render_protocol {

// Before a page's own scripts: dialogs answered at once, no new windows, no service worker, so
// that nothing a page does waits on a person or outlives its tab.
const char* const kTame = R"((() => {
  const none = () => undefined;
  window.alert = none;
  window.print = none;
  window.confirm = () => false;
  window.prompt = () => null;
  window.open = () => null;
  try { Object.defineProperty(navigator, 'serviceWorker', {get: none}); } catch (e) {}
  // Whether anything on the page reacts to scrolling: a page nothing watches is not scrolled,
  // which would only cost the browser a drawing of every screen.
  const watched = () => {
    for (const w of [window, window.top]) try { w[Symbol.for('kelvane-watched')] = true; } catch (e) {}
  };
  const observe = IntersectionObserver.prototype.observe;
  IntersectionObserver.prototype.observe = function (...a) {
    watched();
    return observe.apply(this, a);
  };
  // Where a thing is on the screen, asked in a loop, is how older scripts wait for it to come.
  const where = Element.prototype.getBoundingClientRect;
  Element.prototype.getBoundingClientRect = function () {
    watched();
    return where.call(this);
  };
  const listen = EventTarget.prototype.addEventListener;
  EventTarget.prototype.addEventListener = function (type, ...rest) {
    if (type === 'scroll' || type === 'scrollend' || type === 'wheel') watched();
    return listen.call(this, type, ...rest);
  };
})();)";

// One screen further down, once two frames are drawn (so that observers of what comes in view
// have run); whether the end of the page is in view, or "unwatched" where nothing on the page
// reacts to scrolling.
const char* const kScroll = R"(new Promise(done => {
  const handlers = ['onscroll', 'onscrollend', 'onwheel'];
  if (!window[Symbol.for('kelvane-watched')] && !handlers.some(h => window[h] || document[h]) &&
      !document.querySelector('[loading=lazy], [onscroll], [onscrollend], [onwheel]'))
    return done('unwatched');
  window.scrollBy(0, window.innerHeight);
  const end = () => done(window.innerHeight + window.scrollY + 2 >=
                         document.documentElement.scrollHeight);
  requestAnimationFrame(() => requestAnimationFrame(end));
  setTimeout(end, 200);
}))";

// The page's links as its scripts left them, written as in the page and read against its base.
const char* const kLinks =
    R"(Array.from(document.querySelectorAll('a[href], area[href]'), a => {
  try { return new URL(a.getAttribute('href'), document.baseURI).href; } catch (e) { return ''; }
}).filter(h => h.startsWith('http:') || h.startsWith('https:')))";

// A task, then an idle moment (a worker has none: its task is enough): a module or script given a
// moment ago has been run, and what it imports or fetches asked for.
const char* const kIdle = R"(new Promise(done => setTimeout(() => self.requestIdleCallback
  ? requestIdleCallback(() => done(true), {timeout: 1000}) : done(true), 0)))";

// The icon a browser looks for on its own where a page names none: no file of the page's.
bool BrowsersOwn(const Json& paused) {
  const std::string url = paused.value("request", Json::object()).value("url", "");
  const size_t path = url.find('/', url.find("://") + 3);
  return paused.value("resourceType", "") == "Other" && path != std::string::npos &&
         url.compare(path, std::string::npos, "/favicon.ico") == 0;
}

// What a page may have of the crawl: what it reads. No form sent nor anything changed on the
// server (the crawl asks with GET alone), no stream without end, and no service worker's script,
// which would answer the origin's requests itself from then on.
bool Readable(const Json& paused) {
  const Json request = paused.value("request", Json::object());
  const std::string method = request.value("method", "GET");
  const std::string type = paused.value("resourceType", "");
  if ((method != "GET" && method != "HEAD") || type == "EventSource" || type == "WebSocket" ||
      type == "Ping" || type == "CSPViolationReport")
    return false;
  const auto headers = request.find("headers");
  if (headers == request.end() || !headers->is_object())
    return true;
  for (auto header = headers->begin(); header != headers->end(); ++header) {
    if (EqualsNoCase(header.key(), "Service-Worker"))
      return false;
  }
  return true;
}

Json AnswerHeaders(const std::string& contentType, const std::string& location) {
  Json headers = Json::array();
  if (!contentType.empty())
    headers.push_back({{"name", "Content-Type"}, {"value", contentType}});
  if (!location.empty())
    headers.push_back({{"name", "Location"}, {"value", location}});
  // A page's fonts and scripts of other servers are its own here: every answer may be shared.
  headers.push_back({{"name", "Access-Control-Allow-Origin"}, {"value", "*"}});
  // An address has one answer for the whole crawl: kept by the browser, the next page that
  // wants it is spared its parse and compile, which is most of a page's time.
  headers.push_back({{"name", "Cache-Control"}, {"value", "max-age=31536000"}});
  return headers;
}

// Every request paused before it is sent.
Json EveryRequest() {
  return {{"patterns", Json::array({{{"urlPattern", "*"}, {"requestStage", "Request"}}})}};
}

Json PausedChildren() {
  return {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}};
}

// An address as the crawl keeps it: without its fragment, its dot segments resolved.
std::string Normal(const std::string& url) {
  return ResolveLink(url, url).value_or(url);
}

}  // namespace render_protocol
