#include "crawl/run/retry_rule.h"

#include <algorithm>

namespace {

// A failure that another try may not meet: a name no server has, a certificate that does not
// verify, a refused connection unless the plan says otherwise, and every answer but those that
// say the server is passing through a bad time (502, 503, 504). A 500 is the server's word on
// the file, which twenty tries a minute apart would only hear again.
bool MayPass(const RetryPlan& plan, const TransferResult& result) {
  switch (result.end) {
    case TransferEnd::Failed:
      if (result.refused)
        return plan.connectionRefused;
      return !result.nameUnknown && !result.certificate;
    case TransferEnd::Broken:
      return !result.redirectLimit;  // the server's own loop, which another try meets again
    case TransferEnd::Complete:
      return result.status >= 502 && result.status <= 504;
    case TransferEnd::Refused:
    case TransferEnd::RedirectRefused:
      break;
  }
  return false;
}

}  // namespace

std::chrono::milliseconds TryWait(const RetryPlan& plan, int triedAgain) {
  if (plan.tries <= 0)
    return std::chrono::milliseconds(0);
  const long long attempts = static_cast<long long>(triedAgain) + 1;
  return std::chrono::milliseconds(
      std::min(attempts * 1000, static_cast<long long>(plan.waitRetryMs)));
}

void CountTry(const RetryPlan& plan, int& triedAgain) {
  triedAgain += plan.tries > 0 ? 1 : 0;
}

bool TriesLeft(const RetryPlan& plan, int triedAgain) {
  return plan.tries <= 0 || static_cast<long long>(triedAgain) + 1 < plan.tries;
}

std::optional<std::chrono::milliseconds> RetryWait(const RetryPlan& plan,
                                                   const TransferResult& result, int triedAgain) {
  if (plan.tries <= 0 || !TriesLeft(plan, triedAgain) || !MayPass(plan, result))
    return std::nullopt;
  return TryWait(plan, triedAgain);
}

std::string FailureText(const TransferResult& result) {
  return result.end == TransferEnd::Complete ? "HTTP " + std::to_string(result.status)
                                             : result.text;
}
