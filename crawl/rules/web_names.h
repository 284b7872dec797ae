#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "crawl/base/crawl_plan.h"

// The local path of an address with complete pages, named from the address as it is: beneath
// the save-to directory, the server's directory (unless left out), the address's directories
// (less those cut, or none at all), then its last part as a file of that name, or the
// directory's index where the address ends in "/". A query follows the name with its "/"
// written %2F, so that it never becomes directories. Each name is written as the plan asks.
std::string WebLocalPath(const std::string& url, const std::string& saveToDirectory,
                         const NamingPlan& naming);

// One name as the plan writes names: the bytes a file system refuses or the plan keeps out
// written %XX, letter case made one where asked.
std::string RestrictedName(std::string_view name, const NamingPlan& naming);

// The file name a Content-Disposition value gives (filename*= or filename=), its last part
// alone, written as names are; nothing when it gives none that can be a name.
std::optional<std::string> DispositionName(std::string_view value, const NamingPlan& naming);

// A name beside a local path for another file: "~N" before its extension, a short run of letters
// and digits after the name's last dot.
std::string NumberedName(const std::string& localPath, int n);
