#pragma once

#include "crawl/run/crawl_run.h"

// The passes of a crawl with up to `jobs` files in transfer at once: one, with plain
// requests (each over a connection of its own) and reports; several, over connections kept open
// between files. Each pass goes through the crawl's one pipeline. Two links that lead to one
// local path are never in transfer together: the second waits, then finds the first one's copy.
// A link held back by the wait between requests to its server holds back no other server's.
// jobs 0: as many as a polite peer takes, at most 16 in all, and to each server 6 (HTTP/1.1) or,
// once it is seen to carry several over one connection, 32.
CrawlOutcome RunSlots(CrawlRun& run, int jobs);
