#include "platform/http_date.h"

#include <curl/curl.h>

#include <cstdio>
#include <ctime>

std::optional<int64_t> ParseHttpDate(const std::string& text) {
  if (text.empty())
    return std::nullopt;
  const time_t seconds = curl_getdate(text.c_str(), nullptr);
  if (seconds == -1)
    return std::nullopt;
  return static_cast<int64_t>(seconds);
}

std::string HttpDate(int64_t seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (gmtime_r(&time, &utc) == nullptr)
    return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}
