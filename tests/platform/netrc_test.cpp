#include "platform/netrc.h"

#include <gtest/gtest.h>

namespace {

TEST(Netrc, TheHostsEntryForTheLoginGiven) {
  const std::string text =
      "machine other login a password x\n"
      "macdef init\nmachine h login m password macro\n\n"
      "machine H.example login a password \"two words \\\" here\"\n"
      "machine h.example login b password pb\n"
      "default login anonymous password guest\n";
  const struct {
    const char* host;
    const char* login;
    std::optional<std::string> password;
  } rows[] = {
      {"h.example", "", "two words \" here"},  // the first entry, letter case not counting
      {"h.example", "b", "pb"},
      {"h.example", "c", std::nullopt},
      {"h", "", "guest"},  // a macro's lines are no entry
      {"elsewhere", "anonymous", "guest"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.host) + " " + row.login);
    const std::optional<NetrcLogin> entry = NetrcEntry(text, row.host, row.login);
    EXPECT_EQ(entry ? std::optional(entry->password) : std::nullopt, row.password);
  }
}

}  // namespace
