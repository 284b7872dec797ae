#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "crawl/base/crawl_plan.h"

// The user and password written into an address before its server, taken out of it.
std::optional<std::pair<std::string, std::string>> TakeUserInfo(std::string& url);

// An address as it is typed, pasted or listed: the blanks and line breaks around it are none of
// it, and read as the web is read, one without a scheme names an http address, as browsers and
// wget read it (a path, which begins with "/" or ".", stays a path).
std::string TypedAddress(std::string_view text, bool webRules);

// Why an address is none to fetch: another scheme than http or https, or no server that can be
// named. Nothing for an address that is one.
std::optional<std::string> AddressProblem(const std::string& url);

// Gives the plan its start, read as typed. A login written into a start address ("http://user:
// password@host/") is left out of it, and taken as the credentials for its server where none
// are given.
void SetStart(CrawlPlan& plan, CrawlStart start);

// Options that name or take files as the web is read, given without --page-requisites: the first
// one's complaint; nothing when there is none.
std::optional<std::string> WebRulesMissing(const CrawlPlan& plan);
