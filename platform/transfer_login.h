#pragma once

#include <string>
#include <string_view>

#include "platform/transport.h"

// What a transfer's handle keeps of a login from one request to the next. A handle that logged in
// keeps the scheme it used and would send it unasked with its next request, wherever that goes:
// each request starts with none, but one that goes on below where its Digest login was taken.
class TransferLogin {
 public:
  // Whether the handle is to be reset before its request to url.
  bool Forgets(const Transport& transport, std::string_view url);
  // The answer from url came: a login the server asked for (answered) and took is remembered.
  void Taken(Transport& transport, const std::string& url, int status, bool answered, bool digest);

 private:
  // The server whose Digest login the handle took, and keeps: its nonce, and the count of its
  // uses, go on with the next request there.
  std::string m_digestServer;
};
