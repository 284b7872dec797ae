#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One address that a page names, as written there (character references decoded).
struct PageReference {
  std::string link;
  bool page = false;  // a page to follow (anchor, image-map area, frame), not something it needs
};

// What a page refers to, read with libxml2's HTML parser, which reads broken markup on: tags and
// attributes in any letter case, values quoted or not, tags over several lines, character
// references decoded.
struct PageLinks {
  std::optional<std::string> base;  // the first <base href>, against which links resolve
  std::vector<PageReference> references;
};

// References read: a and area href, frame and iframe src (pages); img src and srcset, source
// src and srcset, link href for stylesheets, icons and preloads, script src, video src and
// poster, audio, track and embed src, object data, input type=image src, body background, and
// url() and @import in style attributes and <style> blocks.
PageLinks ReadPage(std::string_view html);

// The addresses of a srcset value, each candidate's address without its descriptor.
std::vector<std::string> SrcsetAddresses(std::string_view srcset);
