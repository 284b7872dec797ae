#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One address a stylesheet refers to, and where it stands there: [begin, end) are the bytes that
// spell it, escapes as written, inside url(...) or inside the quotes, without the quotes or the
// white space around it.
struct StylesheetLink {
  std::string link;  // escapes resolved
  size_t begin = 0;
  size_t end = 0;
};

// The addresses a stylesheet refers to: every url(...) and every @import, in the order they
// appear, in time linear in its size. Comments and the insides of other strings are skipped, and
// so are what browsers load nothing from: a url(...) with white space, a quote or a parenthesis
// inside, a string cut by a line end. When *stop becomes non-zero, what was found so far.
std::vector<StylesheetLink> ReadStylesheetLinks(std::string_view css,
                                                const std::atomic<int>* stop = nullptr);

// The same addresses without their places.
std::vector<std::string> ReadStylesheet(std::string_view css,
                                        const std::atomic<int>* stop = nullptr);

// Appends code point `code` as UTF-8; 0, a surrogate or a number above U+10FFFF, which CSS escapes
// and HTML character references alike read as U+FFFD, as U+FFFD.
void AppendUtf8(std::string& out, uint32_t code);
