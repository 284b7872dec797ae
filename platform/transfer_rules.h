#pragma once

// How a transfer's request is written and its answers and failures are read: the rules a
// transfer applies, apart from the transfer that applies them.
#include <curl/curl.h>

#include <optional>
#include <string>

#include "platform/network_settings.h"
#include "platform/transfer_result.h"

// curl would follow every 3xx answer that names a location.
bool IsRedirect(long status);
// The redirects a crawl follows; another 3xx is the answer, as a browser takes it.
bool IsFollowedRedirect(long status);
// The address a Location value leads to from the address that answered with it.
std::optional<std::string> RedirectTarget(const char* from, const std::string& location);
// "host:port:address" for the resolver seam, and the host it names; false when the server part
// cannot be read at all.
bool ResolveEntry(const NetworkSettings& options, bool https, const std::string& server,
                  std::string& host, std::optional<std::string>& entry, std::string& errorText);
// A file that is itself compressed: kept as it came even when its answer names its coding.
bool CompressedFile(const std::string& url, const std::string& type);
// Failures before any byte was exchanged with the server: every request to it would meet them.
bool Unreachable(CURLcode code);
// How a transfer that got no answer failed, where its server was out of reach, into the result.
void NoteUnreachable(TransferResult& result, CURLcode code);

// Bytes that cannot stand in a request path (0x20 and below, 0x7F and above) as %XX.
std::string EncodeRequestPath(const std::string& objectName);
// "no data received for N seconds"
std::string StallText(long stallTimeoutMs);
