#pragma once

#include <map>
#include <string>

using Tree = std::map<std::string, std::string>;  // relative path -> bytes

// A site of pages in 20 directories, each page with its picture and links to five other pages;
// every page links to the next one, so the whole site is reachable from the start page. The
// same seed gives the same site.
Tree GenerateSite(int pages, unsigned seed);
// Writes a tree under a directory.
void WriteTree(const std::string& root, const Tree& tree);
// Reads every file under a directory, by path relative to it.
Tree ReadTree(const std::string& root);
