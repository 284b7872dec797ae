#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Decimal text of n as "%i" writes it.
std::string IntToText(int32_t n);

// Reads a number the way atoi does (leading white space, optional sign, digits up to the first
// other character, 0 without digits), but clamps to the 32-bit range instead of overflowing.
int32_t TextToInt(std::string_view text);
