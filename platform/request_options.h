#pragma once

// The options of a request's curl handle that hang on the request and the settings alone.
#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/network_settings.h"
#include "platform/transfer.h"

// The address a request is sent to, and the resolver's entry for its server where the settings
// name one; false, with why, when the request cannot be made.
bool RequestAddress(const NetworkSettings& options, const TransferRequest& request,
                    std::string& url, std::optional<std::string>& entry, TransferResult& failure);
// The header lines sent beside those curl writes.
std::unique_ptr<curl_slist, ListDeleter> RequestHeaderLines(const NetworkSettings& options,
                                                            const TransferRequest& request);
// The protocol, the connection and how the answer is framed and followed.
void SetConnection(CURL* easy, const NetworkSettings& options, const TransferRequest& request);
// The login for the request's server, where it has one; true when it is sent once the server
// asks for it.
// remembered: a login the server took for this address already, sent at once (a Digest one as
// the handle keeps it, answering the server's challenge again where its nonce went stale).
bool SetLogin(CURL* easy, const NetworkSettings& options, const TransferRequest& request,
              const RememberedLogin& remembered);
