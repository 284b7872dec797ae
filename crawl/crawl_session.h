#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "crawl/crawl_dialog.h"
#include "crawl/http_fetcher.h"
#include "crawl/link_stack.h"
#include "crawl/mirror_writer.h"

// What a crawl starts from, copied when it is asked for: an address or directory edited while
// the crawl runs does not reach it.
struct CrawlStart {
  std::string url;
  std::string localRoot;        // the start address's mirror directory
  std::string saveToDirectory;  // paths are checked for ".." only below it: it is the user's own
};

// The worker's entry: one whole crawl from the start address into its local root.
unsigned RunCrawlSession(CrawlDialog* dialog, CrawlStart start);
// The same from the dialog's address and directories as they are now.
unsigned RunCrawlSession(CrawlDialog* dialog);

// Runs the passes of a crawl once its start address has been pushed. Cancelled means the crawl's
// end has been dealt with already, as FetchFile deals with it.
using CrawlPasses = std::function<CrawlOutcome(std::unique_ptr<LinkStack>& linkStack)>;
// The frame of every crawl around its passes: the reachability test, the start address pushed,
// then, after the passes, the link stack destroyed, the end actions and the ending reported.
unsigned RunCrawlFrame(CrawlDialog* dialog, const CrawlStart& start, const CrawlPasses& passes);

// What obtaining one file gave.
struct Obtained {
  std::unique_ptr<FetchedFile> file;  // none when nothing could be obtained
  bool cancelled = false;             // the crawl was cancelled and its end actions are done
  // The answer came but must not be taken for the file: neither scanned nor stored.
  bool Unusable() const { return file && file->problem != FetchProblem::None; }
};

// What became of a pass's file: the line that says it was not saved, and the value.
std::string NotSavedText(const FetchedFile& file);
FileOutcome OutcomeOf(const Obtained& doc, const std::string& url, bool fromNetwork,
                      std::optional<SaveResult> saved);
// "Download" back, "Stop" away: the last control steps of every crawl.
void EndActions(CrawlDialog& dialog);

// Obtains a file from an address or a local path. A fetch that finds the stop flag raised
// cancels the crawl: it logs "Transfert canceled", resets the bars and buttons, destroys the
// link stack and reports the ending. An answer that must not be stored is logged as such, except
// for the reachability test, whose pass logs it.
Obtained FetchFile(std::unique_ptr<LinkStack>& linkStack, const std::string& source,
                   CrawlDialog& dialog, bool reachabilityTest = false);

// Runs one pass per pending link until none is left, "Stop" is pressed or a file cannot be
// obtained, and says which. Cancelled means the crawl's end has been dealt with already.
CrawlOutcome CrawlStep(std::unique_ptr<LinkStack>& linkStack, const CrawlStart& start,
                       CrawlDialog& dialog, int32_t& downloadedCount);
