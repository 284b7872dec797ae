#pragma once

#include "crawl/base/crawl_dialog.h"
#include "crawl/base/crawl_plan.h"

// What a front end asks of the engine: a plan run through to its end on the calling thread, the
// worker, reporting through the dialog.

// The plan of a crawl from the dialog's address and directories as they are now.
CrawlPlan PlanFromDialog(CrawlDialog& dialog);

// Runs one whole crawl, and reports through the dialog how it ended.
void RunCrawl(CrawlDialog& dialog, const CrawlPlan& plan);
