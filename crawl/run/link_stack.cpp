#include "crawl/run/link_stack.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "crawl/base/crawl_dialog.h"
#include "crawl/base/fetched_file.h"
#include "crawl/rules/mirror_paths.h"
#include "crawl/rules/scope_rules.h"
#include "platform/ascii.h"
#include "platform/file_system.h"
#include "support/activity_log.h"
#include "support/int_text.h"

namespace {

constexpr int kQueueBarHigh = 128;

// Where the path of an address starts: the "/" after the server name. Texts without a scheme
// have no server, and their path starts at 0.
size_t PathStart(const std::string& text) {
  if (!IsHttpUrl(text))
    return 0;
  return text.find('/', SchemeLength(text));
}

// The first "/.." that is a whole path segment: followed by "/", "?" or the end.
size_t FindParentSegment(const std::string& text) {
  size_t root = PathStart(text);
  if (root == std::string::npos)
    return std::string::npos;
  for (size_t a = text.find("/..", root); a != std::string::npos; a = text.find("/..", a + 1)) {
    size_t after = a + 3;
    if (after == text.size() || text[after] == '/' || text[after] == '?')
      return a;
  }
  return std::string::npos;
}

bool HasScheme(const std::string& link) {
  return Contains(link, "http://") || Contains(link, "https://");
}

}  // namespace

LinkStack::LinkStack(const std::string& startUrl) {
  m_basePrefix.clear();
  m_pendingCount = 0;
  m_acceptedCount = 0;
  ShowProgressRange(Control::QueueProgress, 0, kQueueBarHigh);
  ShowControlText(Control::QueuedFilesEdit, "0");
  m_basePrefix = std::string(BeforeLast(startUrl, '/'));
}

LinkStack::~LinkStack() {
  ShowWaitingOutside(0);  // the crawl is over: what waited is no longer to be fetched
  // Thousands of links may be left when a crawl is stopped: their lines go out together.
  LogLineBatch batch;
  while (!m_pending.empty())
    Pop();
}

std::string LinkStack::Absolute(const std::string& pageDirectory, std::string link) {
  // Only a link that starts with a scheme is absolute; "go.php?u=http://x/" is relative.
  if (!link.starts_with("http://") && !link.starts_with("https://")) {
    if (link.starts_with("./"))
      link.erase(0, 2);
    link.insert(0, pageDirectory);
  }
  if (link.ends_with("./"))
    link.resize(link.size() >= 3 ? link.size() - 3 : 0);
  return link;
}

void LinkStack::Push(const std::string& pageDirectory, std::string link, int bypassFilters,
                     bool requisite) {
  link = Absolute(pageDirectory, std::move(link));
  const int depth = m_pageDepth + 1;
  if (bypassFilters == 0 && !PassesFilters(link)) {
    SeenAgain(link);
    return;
  }
  bool readOnly = false;
  // Rules may take time over each link (robots.txt): a crawl being stopped judges no more.
  if (m_scope != nullptr && (StopFlag() != 0 || !InScope(link, depth, requisite, readOnly)))
    return;
  Accept(std::move(link), depth, readOnly, requisite);
}

void LinkStack::SeenAgain(const std::string& link) {
  auto pending = m_pendingIndex.find(link);
  if (pending == m_pendingIndex.end())
    return SeenAgainSpilled(link);
  if (pending->second->depth <= m_pageDepth + 1)
    return;
  // Its place is in the nearer queue; the old node stays behind, marked, until it comes up.
  LinkNode* old = pending->second;
  old->moved = true;
  auto* node = new LinkNode{old->url,       nullptr, m_pageDepth + 1, old->readOnly,
                            old->requisite, false,   old->referrer};
  IndexPending(node);
  Enqueue(node);
}

void LinkStack::LeaveOutNofollow(const std::string& pageDirectory, std::string link) {
  link = Absolute(pageDirectory, std::move(link));
  if (PassesFilters(link))
    LeaveOut(link, "nofollow");
}

void LinkStack::LeaveOut(const std::string& link, const std::string& why) {
  // Left out for how it was linked, not for what it is: a link found elsewhere takes it.
  if (WasAccepted(link) ||
      !m_leftOut.emplace(link, LeftOutLink{std::numeric_limits<int>::max(), false}).second)
    return;
  if (m_report)
    m_report(link, why);
}

void LinkStack::SetScope(const Scope* scope, LeftOutReport report) {
  m_scope = scope;
  m_report = std::move(report);
}

bool LinkStack::InScope(const std::string& link, int depth, bool requisite, bool& readOnly) {
  auto seen = m_leftOut.find(link);
  // Left out before at this depth or nearer: the same again. A page's requisite is judged
  // anew: an anchor to a picture may have been left out where its <img> is not.
  if (seen != m_leftOut.end() && seen->second.depth <= depth && !requisite)
    return false;
  const Scope::Judgement judgement = m_scope->Judge(link, depth, requisite);
  if (judgement.verdict == Scope::Verdict::LeftOut) {
    if (seen == m_leftOut.end()) {
      m_leftOut.emplace(link, LeftOutLink{depth, judgement.why.ends_with("by robots.txt")});
      if (m_report)
        m_report(link, judgement.why);
    } else {
      seen->second.depth = depth;
    }
    return false;
  }
  if (seen != m_leftOut.end())
    m_leftOut.erase(seen);
  if (judgement.verdict == Scope::Verdict::ReadOnly) {
    readOnly = true;
    Log("Read for its links only (" + judgement.why + "): " + link);
  }
  return true;
}

std::vector<std::pair<std::string, bool>> LinkStack::LeftOut() const {
  std::vector<std::pair<std::string, bool>> links;
  for (const auto& [link, leftOut] : m_leftOut)
    links.emplace_back(link, leftOut.robots);
  return links;
}

bool LinkStack::PassesFilters(std::string& link) const {
  std::string lower = ToLowerAscii(link);
  if (!Contains(lower, m_basePrefix))
    return false;
  static constexpr std::string_view kSchemes[] = {"javascript:", "mailto:", "ftp:", "news:"};
  for (std::string_view scheme : kSchemes) {
    if (Contains(lower, scheme))
      return false;
  }
  if (link == "./" || link == "." || Contains(link, "#") || WasAccepted(link))
    return false;
  if (FindParentSegment(link) == std::string::npos)
    return true;
  do {
    std::string collapsed = CollapseParentSegment(link);
    if (collapsed == link)
      return false;  // no progress possible: drop it rather than loop
    link = std::move(collapsed);
    if (!HasScheme(link))
      return false;
  } while (FindParentSegment(link) != std::string::npos);
  // Sibling pages linking each other through "../" would otherwise be queued for ever.
  return !WasAccepted(link);
}

void LinkStack::Accept(std::string link, int depth, bool readOnly, bool requisite) {
  Log("Push():" + link);
  ++m_pendingCount;
  ShowQueued();

  m_accepted.Insert(link);
  ++m_acceptedCount;
  ShowControlText(Control::ReadFilesEdit, IntToText(m_acceptedCount));

  auto* node = new LinkNode{std::move(link), nullptr, depth, readOnly, requisite, false, m_page};
  if (m_byDepth)
    IndexPending(node);
  Enqueue(node);
}

void LinkStack::Again(Entry entry) {
  ++m_pendingCount;
  ShowQueued();
  auto* node = new LinkNode{std::move(entry.url),     nullptr,         entry.depth,
                            entry.readOnly,           entry.requisite, false,
                            std::move(entry.referrer)};
  if (m_byDepth)
    IndexPending(node);
  Enqueue(node);
}

void LinkStack::IndexPending(LinkNode* node) {
  // The key is a view of the node's own text: an older node of the link must not keep it.
  m_pendingIndex.erase(node->url);
  m_pendingIndex.emplace(node->url, node);
}

void LinkStack::ShowQueued() {
  ShowControlText(Control::QueuedFilesEdit, IntToText(m_pendingCount + m_waitingOutside));
  ShowProgressPosition(Control::QueueProgress, m_pendingCount + m_waitingOutside);
}

void LinkStack::ShowWaitingOutside(int32_t waiting) {
  if (std::exchange(m_waitingOutside, waiting) != waiting)
    ShowQueued();
}

void LinkStack::Enqueue(LinkNode* node) {
  const bool html = IsHtmlName(node->url);
  const int key = m_byDepth ? node->depth : 0;
  Queue& queue = m_pending[key];
  // Past the bound a link for the tail waits on disk, as do those after it.
  if (html && m_openSpill &&
      (m_inMemory >= m_mostInMemory || (queue.spill && !queue.spill->Empty()))) {
    if (!queue.spill)
      queue.spill = std::make_unique<PendingSpill>(m_openSpill());
    const uint64_t where =
        queue.spill->Add({node->url, node->depth, node->readOnly, node->requisite,
                          node->referrer ? *node->referrer : std::string(), 0});
    if (m_byDepth) {
      m_pendingIndex.erase(node->url);
      m_spilledIndex.Add(node->url, SpilledKey(key, where));
    }
    delete node;
    return;
  }
  ++m_inMemory;
  if (queue.head == nullptr) {
    queue.head = queue.tail = node;
  } else if (html) {
    queue.tail->next = node;
    queue.tail = node;
  } else {
    node->next = queue.head;
    queue.head = node;
  }
}

void LinkStack::Refill(Queue& queue, int key) {
  std::shared_ptr<const std::string> referrer;
  for (PendingSpill::Link& link : queue.spill->Take()) {
    const uint64_t spilled = SpilledKey(key, link.where);
    if (m_byDepth) {
      if (m_movedSpilled.erase(spilled) != 0)
        continue;
      m_spilledIndex.Remove(link.url, spilled);
    }
    // The links of one page come together: they share its address again.
    if (link.referrer.empty())
      referrer = nullptr;
    else if (!referrer || *referrer != link.referrer)
      referrer = std::make_shared<const std::string>(std::move(link.referrer));
    auto* node = new LinkNode{std::move(link.url), nullptr, link.depth, link.readOnly,
                              link.requisite,      false,   referrer};
    if (m_byDepth)
      IndexPending(node);
    ++m_inMemory;
    if (queue.head == nullptr)
      queue.head = node;
    else
      queue.tail->next = node;
    queue.tail = node;
  }
  // Links the file could not give back are not waiting any more; those moved nearer still are.
  if (size_t lost = queue.spill->TakeLost()) {
    for (auto moved = m_movedSpilled.begin(); moved != m_movedSpilled.end();) {
      const bool here = static_cast<int>(*moved >> 40) == key;
      lost -= here ? 1 : 0;
      moved = here ? m_movedSpilled.erase(moved) : std::next(moved);
    }
    m_pendingCount -= static_cast<int32_t>(lost);
    ShowQueued();
  }
}

void LinkStack::SeenAgainSpilled(const std::string& link) {
  for (uint64_t spilled : m_spilledIndex.Candidates(link)) {
    const int key = static_cast<int>(spilled >> 40);
    auto queue = m_pending.find(key);
    if (key <= m_pageDepth + 1 || queue == m_pending.end() || !queue->second.spill)
      continue;
    std::optional<PendingSpill::Link> old =
        queue->second.spill->At(spilled & ((uint64_t{1} << 40) - 1));
    if (!old || old->url != link)
      continue;
    m_spilledIndex.Remove(link, spilled);
    m_movedSpilled.insert(spilled);
    auto* node = new LinkNode{
        link,
        nullptr,
        m_pageDepth + 1,
        old->readOnly,
        old->requisite,
        false,
        old->referrer.empty() ? nullptr : std::make_shared<const std::string>(old->referrer)};
    IndexPending(node);
    Enqueue(node);
    return;
  }
}

std::string LinkStack::Pop() {
  return PopEntry().url;
}

LinkStack::Entry LinkStack::PopEntry() {
  DropMoved();
  if (m_pending.empty())
    return Entry();  // the links left could not be read back from their file
  --m_pendingCount;
  ShowQueued();

  auto first = m_pending.begin();
  LinkNode* head = first->second.head;
  if (m_byDepth)
    m_pendingIndex.erase(head->url);
  Entry entry{std::move(head->url), head->depth, head->readOnly, head->requisite,
              std::move(head->referrer)};
  first->second.head = head->next;
  delete head;
  --m_inMemory;
  DropMoved();

  Log("Pop():" + entry.url);
  return entry;
}

void LinkStack::DropMoved() {
  while (!m_pending.empty()) {
    auto first = m_pending.begin();
    Queue& queue = first->second;
    if (queue.head == nullptr) {
      queue.tail = nullptr;
      if (queue.spill && !queue.spill->Empty())
        Refill(queue, first->first);
      else
        m_pending.erase(first);
      continue;
    }
    if (!queue.head->moved)
      return;
    LinkNode* head = queue.head;
    queue.head = head->next;
    delete head;
    --m_inMemory;
  }
}

bool LinkStack::WasAccepted(const std::string& link) const {
  return m_accepted.Contains(link);
}

std::string LinkStack::RelativePart(const std::string& url) const {
  if (!url.starts_with(m_basePrefix))
    return std::string();
  return url.substr(m_basePrefix.size());
}

std::string LinkStack::CollapseParentSegment(const std::string& text) {
  size_t a = FindParentSegment(text);
  if (a == std::string::npos)
    return text;
  std::string_view rest = std::string_view(text).substr(a + 3);
  size_t root = PathStart(text);
  bool http = IsHttpUrl(text);
  // Nothing lies above the server: "http://host/../x" is "http://host/x", as browsers have it.
  auto atRoot = [&] {
    std::string result = text.substr(0, root);
    if (!rest.starts_with('/'))
      result += '/';
    result += rest;
    return result;
  };
  if (http && a == root)
    return atRoot();
  if (a == 0)
    return text;
  // The character just before "/.." belongs to the segment that goes.
  size_t b = std::string_view(text).substr(0, a - 1).rfind('/');
  if (http && (b == std::string::npos || b <= root))
    return atRoot();
  if (b == std::string::npos || b == 0)
    return text;
  std::string result = text.substr(0, b);
  result += rest;
  return result;
}
