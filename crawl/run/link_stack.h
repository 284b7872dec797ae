#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "crawl/base/fingerprints.h"
#include "crawl/base/link_sink.h"
#include "crawl/run/pending_spill.h"

class Scope;

// The links of one crawl: those still to fetch and every one accepted so far. Push decides
// which links the crawl follows, and where a link joins the pending list sets the crawl's order.
class LinkStack : public LinkSink {
 public:
  explicit LinkStack(const std::string& startUrl);
  ~LinkStack() override;
  LinkStack(const LinkStack&) = delete;
  LinkStack& operator=(const LinkStack&) = delete;

  // requisite: what the page needs to show rather than a page it leads to.
  void Push(const std::string& pageDirectory, std::string link, int bypassFilters,
            bool requisite = false) override;
  std::string Pop();
  // A pending link with how far it lies from the start page.
  struct Entry {
    std::string url;
    int depth = 0;           // links from the start page
    bool readOnly = false;   // the scope rejects its name: read for its links, not stored
    bool requisite = false;  // what a page needs to show, not a page it leads to
    std::shared_ptr<const std::string> referrer;  // the page that linked it; none for a start
  };
  Entry PopEntry();
  // A link taken before, to be fetched once more (a login came for it): pending again, neither
  // logged nor counted as accepted a second time.
  void Again(Entry entry);

  // Rules that may leave links out, and what to do with each one left out (its address and
  // why); none by default.
  using LeftOutReport = std::function<void(const std::string& url, const std::string& why)>;
  void SetScope(const Scope* scope, LeftOutReport report);
  // Pending links past mostInMemory wait in files the opener gives, in order; without one, all
  // wait in memory.
  static constexpr size_t kMostInMemory = size_t{1} << 16;
  using SpillOpener = std::function<std::unique_ptr<SpoolFile>()>;
  void SetSpill(SpillOpener opener, size_t mostInMemory = kMostInMemory) {
    m_openSpill = std::move(opener);
    m_mostInMemory = mostInMemory;
  }
  // The depth of the page whose links are pushed next; the start address is pushed at -1.
  void SetPageDepth(int depth) { m_pageDepth = depth; }
  // The address of the page whose links are pushed next, which each of them keeps.
  void SetPage(const std::string& url) { m_page = std::make_shared<const std::string>(url); }
  // Links taken nearest the start first, so that each page is reached by its shortest path
  // and the depth it is judged at is the least it has. Otherwise pages at the tail and
  // other files at the head, in one queue.
  void SetBreadthFirst() { m_byDepth = true; }
  // The depth of the next link Pop gives; the stack must not be empty.
  int NextDepth() const { return m_pending.begin()->first; }
  // A link the reading rules leave out, for the reason given: logged and counted once.
  void LeaveOut(const std::string& link, const std::string& why) override;
  // A link accepted before, found again on the page being read: one still pending takes the
  // lesser depth.
  void SeenAgain(const std::string& link) override;
  // A link of a page, written there as link, that the page asks crawlers not to follow:
  // left out where it would otherwise have been taken.
  void LeaveOutNofollow(const std::string& pageDirectory, std::string link) override;
  // The links left out and never taken after all.
  // Each with whether robots.txt left it out.
  std::vector<std::pair<std::string, bool>> LeftOut() const;
  bool IsEmpty() const { return m_pending.empty(); }
  bool WasAccepted(const std::string& link) const override;
  std::string RelativePart(const std::string& url) const;

  const std::string& BasePrefix() const override { return m_basePrefix; }
  int32_t PendingCount() const { return m_pendingCount; }
  // Links taken from the stack that still wait to be fetched (a parallel crawl's passes held for
  // their server's turn): shown among those queued.
  void ShowWaitingOutside(int32_t waiting);
  int32_t AcceptedCount() const { return m_acceptedCount; }

  // One step of removing a parent segment: "a/b/../c" becomes "a/c". Returns the text
  // unchanged when it holds no "/.." segment that can be removed.
  static std::string CollapseParentSegment(const std::string& text);

 private:
  struct LinkNode {
    std::string url;
    LinkNode* next = nullptr;
    int depth = 0;
    bool readOnly = false;
    bool requisite = false;
    bool moved = false;  // taken to a nearer depth: skipped where it was
    std::shared_ptr<const std::string> referrer = nullptr;
  };
  struct Queue {
    LinkNode* head = nullptr;
    LinkNode* tail = nullptr;
    std::unique_ptr<PendingSpill> spill;  // the links after those in memory
  };

  // A link of a page as an address: the page's directory before a relative one.
  static std::string Absolute(const std::string& pageDirectory, std::string link);

  // The filters of a link from a page, which also collapses its "/.." segments; false when the
  // link is dropped.
  bool PassesFilters(std::string& link) const;
  // Logs, counts and queues an accepted link.
  void Accept(std::string link, int depth = 0, bool readOnly = false, bool requisite = false);
  void Enqueue(LinkNode* node);
  void IndexPending(LinkNode* node);
  // Nodes moved away are dropped from the front, and spilled links brought in, so that the first
  // queue's head is a link.
  void DropMoved();
  // The next links of a queue's spill, in memory, but those moved nearer.
  void Refill(Queue& queue, int key);
  // A spilled link found again nearer the start: it waits at the nearer depth.
  void SeenAgainSpilled(const std::string& link);
  static uint64_t SpilledKey(int key, uint64_t where) {
    return (uint64_t{static_cast<uint32_t>(key) & 0xFFFFFFu} << 40) | where;
  }
  void ShowQueued();
  // The scope's judgement of a link that passed the filters; false when it is left out.
  bool InScope(const std::string& link, int depth, bool requisite, bool& readOnly);

  // Pending links by depth when the crawl goes breadth-first, else all under 0.
  std::map<int, Queue> m_pending;
  bool m_byDepth = false;
  // Breadth-first: for depths; keyed by the text of the node it leads to.
  std::unordered_map<std::string_view, LinkNode*> m_pendingIndex;
  std::string m_basePrefix;
  int32_t m_pendingCount = 0;
  int32_t m_waitingOutside = 0;
  int32_t m_acceptedCount = 0;
  // Every link accepted, as a fingerprint: the duplicate test costs the same on any site, and a
  // few bytes a link.
  FingerprintSet m_accepted;
  const Scope* m_scope = nullptr;
  LeftOutReport m_report;
  int m_pageDepth = -1;
  std::shared_ptr<const std::string> m_page;
  struct LeftOutLink {
    int depth;    // the least it was seen at
    bool robots;  // left out by robots.txt
  };
  std::unordered_map<std::string, LeftOutLink> m_leftOut;
  SpillOpener m_openSpill;
  size_t m_mostInMemory = kMostInMemory;
  size_t m_inMemory = 0;  // nodes pending in memory
  // Breadth-first: spilled links by their text, to their queue and place, and those of them that
  // wait nearer now.
  FingerprintIndex m_spilledIndex;
  std::unordered_set<uint64_t> m_movedSpilled;
};
