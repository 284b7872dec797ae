#pragma once

#include <cstdint>
#include <optional>
#include <string>

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT", and the older forms servers still send) as
// seconds since 1970; nothing when it is none.
std::optional<int64_t> ParseHttpDate(const std::string& text);

// Seconds since 1970 written as an HTTP date, without the locale's names.
std::string HttpDate(int64_t seconds);
