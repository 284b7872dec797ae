#pragma once

#include <chrono>
#include <optional>

#include "crawl/base/crawl_plan.h"
#include "platform/transfer_result.h"

// How long to wait before a file is asked for again, after a failure that may pass; nothing when
// it is not asked again. triedAgain: how often it has been asked again already.
std::optional<std::chrono::milliseconds> RetryWait(const RetryPlan& plan,
                                                   const TransferResult& result, int triedAgain);
// Whether a file asked again so often may be asked once more: always where tries are not counted.
bool TriesLeft(const RetryPlan& plan, int triedAgain);
// What went wrong, in a few words: the status of an answer, else the failure's text.
std::string FailureText(const TransferResult& result);
