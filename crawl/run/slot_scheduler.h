#pragma once

#include "crawl/run/crawl_session.h"

// The passes of a crawl with up to `jobs` files in transfer at once, over HTTP/1.1 connections
// kept open between files. Each pass goes through the crawl's one pipeline; only the order of
// the log lines and the connections differ from one file at a time. Two links that lead to one
// local path are never in transfer together: the second waits, then finds the first one's copy.
// A link held back by the wait between requests to its server holds back no other server's.
CrawlOutcome RunSlots(CrawlRun& run, int jobs);
