#pragma once

#include <string>

// What a reader hands the links it finds to: the crawl's link stack, which decides which it
// follows.
class LinkSink {
 public:
  virtual ~LinkSink() = default;

  // A link of a page: pageDirectory is the page's directory for a relative one; bypassFilters
  // is 1 for the start address alone; requisite: what the page needs to show rather than a page
  // it leads to.
  virtual void Push(const std::string& pageDirectory, std::string link, int bypassFilters,
                    bool requisite = false) = 0;
  // A link the page asks crawlers not to follow: left out where it would otherwise be taken.
  virtual void LeaveOutNofollow(const std::string& pageDirectory, std::string link) = 0;
  // A link the reading rules leave out, for the reason given.
  virtual void LeaveOut(const std::string& link, const std::string& why) = 0;
  virtual bool WasAccepted(const std::string& link) const = 0;
  // A link accepted before, found again on the page being read.
  virtual void SeenAgain(const std::string& link) = 0;
  // The start address up to its last "/", which decides what belongs to the site.
  virtual const std::string& BasePrefix() const = 0;
};
