#pragma once

// A WACZ package (1.1.1) of the crawl's archive, as archive players open it: the WARC files
// stored as they are under archive/, the index under indexes/, the pages under pages/, and the
// package's list of its files with their SHA-256, itself digested.
#include <string>
#include <string_view>
#include <vector>

#include "crawl/archive/archive_index.h"

struct ArchivedPage {
  std::string url;
  std::string date;  // as WARC-Date has it
  std::string title;
};

// The text of a page's <title>, its white space made single; empty where it has none.
std::string PageTitle(std::string_view html);

// Writes the package whole under a temporary name, then gives it its own; false, with why, when
// it cannot.
bool WriteWacz(const std::string& path, const std::vector<std::string>& warcFiles,
               const std::vector<IndexEntry>& index, const std::vector<ArchivedPage>& pages,
               std::string& why);
