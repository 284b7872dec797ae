#include "crawl/run/retry_rule.h"

#include <algorithm>

namespace {

// A failure that another try may not meet: a name no server has, a certificate that does not
// verify, a refused connection unless the plan says otherwise, and any answer below 500.
bool MayPass(const RetryPlan& plan, const TransferResult& result) {
  switch (result.end) {
    case TransferEnd::Failed:
      if (result.refused)
        return plan.connectionRefused;
      return !result.nameUnknown && !result.certificate;
    case TransferEnd::Broken:
      return !result.redirectLimit;  // the server's own loop, which another try meets again
    case TransferEnd::Complete:
      return result.status >= 500 && result.status < 600;
    case TransferEnd::Refused:
    case TransferEnd::RedirectRefused:
      break;
  }
  return false;
}

}  // namespace

bool TriesLeft(const RetryPlan& plan, int triedAgain) {
  return plan.tries <= 0 || static_cast<long long>(triedAgain) + 1 < plan.tries;
}

std::optional<std::chrono::milliseconds> RetryWait(const RetryPlan& plan,
                                                   const TransferResult& result, int triedAgain) {
  const long long attempts = static_cast<long long>(triedAgain) + 1;
  if (plan.tries <= 0 || !TriesLeft(plan, triedAgain) || !MayPass(plan, result))
    return std::nullopt;
  // A second more before each new try, up to the plan's most.
  return std::chrono::milliseconds(
      std::min(attempts * 1000, static_cast<long long>(plan.waitRetryMs)));
}

std::string FailureText(const TransferResult& result) {
  return result.end == TransferEnd::Complete ? "HTTP " + std::to_string(result.status)
                                             : result.text;
}
