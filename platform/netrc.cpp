#include "platform/netrc.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/ascii.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The file's words; a word in double quotes may hold blanks and \-escapes. A macro's lines, up
// to a blank line, are no words.
std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      ++i;
      continue;
    }
    std::string word;
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size())
          ++i;
        word += text[i];
      }
      ++i;
    } else {
      while (i < text.size() && !IsBlank(text[i]))
        word += text[i++];
    }
    if (word == "macdef") {
      const size_t end = text.find("\n\n", i);
      i = end == std::string_view::npos ? text.size() : end + 2;
      continue;
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

std::optional<NetrcLogin> NetrcEntry(std::string_view text, std::string_view host,
                                     const std::string& login) {
  const std::vector<std::string> words = Words(text);
  std::optional<NetrcLogin> entry;
  bool matches = false;
  // Closes the entry read so far: the answer where it is the host's (and the login's).
  auto found = [&]() { return matches && entry && (login.empty() || entry->login == login); };
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "machine" || word == "default") {
      if (found())
        return entry;
      matches = word == "default" || (i + 1 < words.size() && EqualsNoCase(words[i + 1], host));
      entry = NetrcLogin{};
      if (word == "machine")
        ++i;
    } else if (entry && (word == "login" || word == "password" || word == "account") &&
               i + 1 < words.size()) {
      if (word == "login")
        entry->login = words[i + 1];
      else if (word == "password")
        entry->password = words[i + 1];
      ++i;
    }
  }
  return found() ? entry : std::nullopt;
}

std::string ReadUserNetrc() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0')
    return std::string();
  std::ifstream file(std::string(home) + "/.netrc", std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}
