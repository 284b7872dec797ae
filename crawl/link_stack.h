#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

// The links of one crawl: those still to fetch and every one accepted so far. Push decides
// which links the crawl follows, and where a link joins the pending list sets the crawl's order.
class LinkStack {
 public:
  explicit LinkStack(const std::string& startUrl);
  ~LinkStack();
  LinkStack(const LinkStack&) = delete;
  LinkStack& operator=(const LinkStack&) = delete;

  void Push(const std::string& pageDirectory, std::string link, int bypassFilters);
  std::string Pop();
  bool IsEmpty() const { return m_pendingHead == nullptr; }
  bool WasAccepted(const std::string& link) const;
  std::string RelativePart(const std::string& url) const;

  const std::string& BasePrefix() const { return m_basePrefix; }
  int32_t PendingCount() const { return m_pendingCount; }
  int32_t AcceptedCount() const { return m_acceptedCount; }

  // One step of removing a parent segment: "a/b/../c" becomes "a/c". Returns the text
  // unchanged when it holds no "/.." segment that can be removed.
  static std::string CollapseParentSegment(const std::string& text);
  static std::string FileExtension(std::string_view name);
  static bool IsHtmlName(std::string_view name);

 private:
  struct LinkNode {
    std::string url;
    LinkNode* next = nullptr;
  };

  // The filters of a link from a page, which also collapses its "/.." segments; false when the
  // link is dropped.
  bool PassesFilters(std::string& link) const;
  // Logs, counts and queues an accepted link.
  void Accept(std::string link);

  LinkNode* m_acceptedHead = nullptr;
  LinkNode* m_pendingHead = nullptr;
  LinkNode* m_pendingTail = nullptr;
  std::string m_basePrefix;
  int32_t m_pendingCount = 0;
  int32_t m_acceptedCount = 0;
  // Index over the accepted nodes' texts, so the duplicate test costs the same on any site.
  std::unordered_set<std::string_view> m_acceptedIndex;
};

inline bool IsHtmlName(std::string_view name) {
  return LinkStack::IsHtmlName(name);
}
