#include "crawl/link_stack.h"

#include "crawl/crawl_dialog.h"
#include "crawl/http_fetcher.h"
#include "platform/ascii.h"
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
  m_acceptedHead = m_pendingHead = m_pendingTail = nullptr;
  m_basePrefix = std::string(BeforeLast(startUrl, '/'));
}

LinkStack::~LinkStack() {
  // Thousands of links may be left when a crawl is stopped: their lines go out together.
  LogLineBatch batch;
  for (int32_t n = m_pendingCount; n > 0; --n)
    Pop();
  m_acceptedIndex.clear();
  while (m_acceptedHead != nullptr) {
    LinkNode* next = m_acceptedHead->next;
    delete m_acceptedHead;
    m_acceptedHead = next;
  }
}

void LinkStack::Push(const std::string& pageDirectory, std::string link, int bypassFilters) {
  // Only a link that starts with a scheme is absolute; "go.php?u=http://x/" is relative.
  if (!link.starts_with("http://") && !link.starts_with("https://")) {
    if (link.starts_with("./"))
      link.erase(0, 2);
    link.insert(0, pageDirectory);
  }
  if (link.ends_with("./"))
    link.resize(link.size() >= 3 ? link.size() - 3 : 0);
  if (bypassFilters == 0 && !PassesFilters(link))
    return;
  Accept(std::move(link));
}

bool LinkStack::PassesFilters(std::string& link) const {
  std::string lower = ToLowerAscii(link);
  if (!Contains(lower, m_basePrefix))
    return false;
  for (const char* scheme : {"javascript:", "mailto:", "ftp:", "news:"}) {
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

void LinkStack::Accept(std::string link) {
  Log("Push():" + link);
  ++m_pendingCount;
  ShowControlText(Control::QueuedFilesEdit, IntToText(m_pendingCount));
  ShowProgressPosition(Control::QueueProgress, m_pendingCount);

  m_acceptedHead = new LinkNode{link, m_acceptedHead};
  m_acceptedIndex.insert(m_acceptedHead->url);
  ++m_acceptedCount;
  ShowControlText(Control::ReadFilesEdit, IntToText(m_acceptedCount));

  bool html = IsHtmlName(link);
  auto* node = new LinkNode{std::move(link), nullptr};
  if (m_pendingHead == nullptr) {
    m_pendingHead = m_pendingTail = node;
  } else if (html) {
    m_pendingTail->next = node;
    m_pendingTail = node;
  } else {
    node->next = m_pendingHead;
    m_pendingHead = node;
  }
}

std::string LinkStack::Pop() {
  --m_pendingCount;
  ShowControlText(Control::QueuedFilesEdit, IntToText(m_pendingCount));
  ShowProgressPosition(Control::QueueProgress, m_pendingCount);

  LinkNode* head = m_pendingHead;
  std::string url = std::move(head->url);
  m_pendingHead = head->next;
  delete head;
  if (m_pendingHead == nullptr)
    m_pendingTail = nullptr;

  Log("Pop():" + url);
  return url;
}

bool LinkStack::WasAccepted(const std::string& link) const {
  return m_acceptedIndex.contains(link);
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

std::string LinkStack::FileExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos)
    return std::string();
  return std::string(name.substr(dot + 1));
}

bool LinkStack::IsHtmlName(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos)
    return false;
  std::string_view extension = name.substr(dot + 1);
  return extension == "htm" || extension == "html" || extension == "shtml";
}
