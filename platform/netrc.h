#pragma once

#include <optional>
#include <string>
#include <string_view>

// A login as a ~/.netrc file gives it.
struct NetrcLogin {
  std::string login;
  std::string password;
};

// The login the text of a .netrc file gives a host: the first "machine" entry of that name
// (letter case not counting), else the "default" entry; where a login is given, only an entry of
// that login. Nothing when there is none.
std::optional<NetrcLogin> NetrcEntry(std::string_view text, std::string_view host,
                                     const std::string& login);

// The text of the user's ~/.netrc ($HOME/.netrc); empty when there is none.
std::string ReadUserNetrc();
