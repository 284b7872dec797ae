#pragma once

#include <string>
#include <string_view>
#include <vector>

// The addresses a stylesheet refers to: every url(...) and every @import, as written there
// (quotes, escapes and surrounding white space removed), in the order they appear. Comments and
// the insides of other strings are skipped.
std::vector<std::string> ReadStylesheet(std::string_view css);
