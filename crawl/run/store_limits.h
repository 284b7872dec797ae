#pragma once

#include <cstdint>
#include <string>

#include "crawl/base/crawl_dialog.h"
#include "crawl/base/crawl_plan.h"

// What ends the storing of files before the links run out: the plan's quota of stored bytes,
// and a disk that refuses them.
class StoreLimits {
 public:
  StoreLimits(CrawlDialog& dialog, const CrawlPlan& plan) : m_dialog(dialog), m_plan(plan) {}

  void CountStored(int64_t bytes);
  // The quota has been reached: no new file is to be fetched.
  bool QuotaReached() const { return m_quotaReached; }
  // A file the disk refused for want of room or permission, in that directory: said once.
  void WriteRefused(int error, const std::string& directory);
  // Read as the web is read, the disk refused a file as it would refuse every file after: none
  // is fetched, and those under way are dropped.
  bool WriteStopped() const { return m_plan.completePages && m_writeStop; }
  // "DIR: reason" of the first refusal; empty when there was none.
  const std::string& Refusal() const { return m_writeRefusal; }

 private:
  CrawlDialog& m_dialog;
  const CrawlPlan& m_plan;
  int64_t m_storedBytes = 0;
  bool m_quotaReached = false;
  std::string m_writeRefusal;
  bool m_writeStop = false;
};
