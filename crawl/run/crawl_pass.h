#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/base/crawl_dialog.h"
#include "crawl/base/fetched_file.h"
#include "crawl/copy/mirror_store.h"

// One link of the crawl on its way: where it goes, what has come of it, and how that is said.
// Every step of a crawl takes a pass and hands it on.
struct CrawlPass {
  std::string url;
  std::string localPath;
  bool stored = true;  // false: read for its links only
  std::unique_ptr<FetchedFile> file;
  bool fromNetwork = false;
  std::string earlierCopy;              // with updates: the copy the answer may replace
  std::vector<std::string> conditions;  // with updates: the request asks only for a change
  int depth = 0;                        // links from the start page
  bool requisite = false;               // what a page needs to show, not a page
  std::string referrer;                 // the page that linked it; empty for a start
  int robotsRetries = 0;                // asked again once a robots.txt was read
  int slowedDown = 0;                   // asked again after its server asked for a pause
  int crowded = 0;                      // asked again after its server took no more at once
  int triedAgain = 0;                   // asked again after a failure that may pass
  // The start address fetched without a reachability test before it: its answer stands for
  // the test's, and no answer at all, or an empty one, ends the crawl as the test's would.
  bool untestedStart = false;
};

// An answer that is no file to keep: an error, a broken transfer, one too large.
bool Unusable(const FetchedFile& file);
// Why a fetched answer is not saved ("HTTP 404"), and the line that says so.
std::string NotSavedWhy(const FetchedFile& file);
std::string NotSavedText(const FetchedFile& file);
// What became of a pass's file, once it is done with it.
FileOutcome OutcomeOf(const CrawlPass& pass, std::optional<SaveResult> saved);
