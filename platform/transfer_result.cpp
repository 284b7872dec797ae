// What a transfer came to, curl's results mapped once into the program's own.
#include "platform/transfer_result.h"

#include <algorithm>
#include <ctime>

#include "platform/http_date.h"

std::optional<std::chrono::milliseconds> TransferResult::PauseAsked(int tries) const {
  constexpr long long kLongest = 600;
  if (status != 429 && status != 503)
    return std::nullopt;
  long long seconds = -1;
  if (!retryAfter.empty() && retryAfter.find_first_not_of("0123456789") == std::string::npos) {
    // However many digits: beyond the longest pause it is the longest.
    seconds = retryAfter.size() > 6 ? kLongest : std::stoll(retryAfter);
  } else if (const std::optional<int64_t> date = ParseHttpDate(retryAfter)) {
    seconds = std::max<int64_t>(0, *date - static_cast<int64_t>(std::time(nullptr)));
  } else if (status == 429) {
    seconds = 1LL << std::clamp(tries, 0, 9);
  }
  if (seconds < 0)
    return std::nullopt;
  return std::chrono::milliseconds(std::min(seconds, kLongest) * 1000);
}
