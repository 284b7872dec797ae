#pragma once

#include <chrono>
#include <optional>

#include "crawl/base/crawl_plan.h"
#include "platform/transfer_result.h"

// How long to wait before a file is asked for again, after a failure that may pass; nothing when
// it is not asked again. triedAgain: how often it has been asked again already.
std::optional<std::chrono::milliseconds> RetryWait(const RetryPlan& plan,
                                                   const TransferResult& result, int triedAgain);
// The wait before a file asked again so often is asked once more, where tries are counted: a
// second more each time, up to the plan's most.
std::chrono::milliseconds TryWait(const RetryPlan& plan, int triedAgain);
// A file is asked again for another reason (a pause, a crowded server): one more try, where
// tries are counted.
void CountTry(const RetryPlan& plan, int& triedAgain);
// Whether a file asked again so often may be asked once more: always where tries are not counted.
bool TriesLeft(const RetryPlan& plan, int triedAgain);
// What went wrong, in a few words: the status of an answer, else the failure's text.
std::string FailureText(const TransferResult& result);
