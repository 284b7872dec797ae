#pragma once

#include <string>
#include <string_view>

// Text with its character references decoded, as an attribute value reads it: numeric ones,
// the Latin-1 names and the few others pages use, the older names without their ";" too, and
// "&" left as it is where it starts none.
std::string DecodeCharacterReferences(std::string_view raw);

// The same, without a copy's cost where there is no "&".
std::string Decoded(std::string_view raw);
