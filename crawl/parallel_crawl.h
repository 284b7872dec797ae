#pragma once

#include "crawl/crawl_dialog.h"
#include "crawl/crawl_session.h"

// The crawl of RunCrawlSession with up to `jobs` files in transfer at once, over HTTP/1.1
// connections kept open between files. Everything else is that crawl's: the same link stack,
// local paths and local-copy rule, the same "Not saved" rules, log texts (interleaved), control
// updates, outcome values and endings. Two links that lead to one local path are never in
// transfer together: the second waits, then finds the first one's copy.
unsigned RunParallelCrawl(CrawlDialog* dialog, CrawlStart start, int jobs);
