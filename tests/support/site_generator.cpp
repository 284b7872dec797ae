#include "support/site_generator.h"

#include <cstdio>
#include <filesystem>
#include <random>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

Tree GenerateSite(int pages, unsigned seed) {
  std::mt19937 random(seed);
  auto dir = [](int i) {
    char name[8];
    std::snprintf(name, sizeof name, "d%02d", i % 20);
    return std::string(name);
  };
  auto page = [&](int i) { return dir(i) + "/p" + std::to_string(i) + ".htm"; };
  Tree site;
  std::string index = "<html><body>\r\n";
  for (int i = 0; i < 20 && i < pages; ++i)
    index += "<A HREF=\"" + page(i) + "\">start</A><br>\r\n";
  site["index.html"] = index + "<A HREF=\"d00/with blank.htm\">blank</A></body></html>\r\n";
  site["d00/with blank.htm"] = "<IMG SRC='../d01/pic1.gif'>";
  for (int i = 0; i < pages; ++i) {
    std::string text = "<html><head><title>Page " + std::to_string(i) + "</title></head>\n";
    text += "<body BACKGROUND=\"bg.gif\"><IMG SRC=\"pic" + std::to_string(i) + ".gif\" ALT=x>\n";
    text += "<A HREF=\"../" + page((i + 1) % pages) + "\">next</A>\n";
    for (int k = 0; k < 5; ++k)
      text += "<a href='../" + page(static_cast<int>(random() % pages)) + "'>link</a>\n";
    for (int k = 0; k < 30; ++k)
      text += "Lorem ipsum dolor sit amet, consectetur adipiscing elit.\n";
    site[page(i)] = text + "</body></html>\n";
    std::string picture(2048, '\0');
    for (char& c : picture)
      c = static_cast<char>(random());
    site[dir(i) + "/pic" + std::to_string(i) + ".gif"] = picture;
  }
  for (int i = 0; i < 20; ++i)
    site[dir(i) + "/bg.gif"] = "GIF89a background " + std::to_string(i);
  return site;
}

void WriteTree(const std::string& root, const Tree& tree) {
  for (const auto& [path, bytes] : tree) {
    fs::create_directories(fs::path(root + "/" + path).parent_path());
    WriteFileBytes(root + "/" + path, bytes);
  }
}

Tree ReadTree(const std::string& root) {
  Tree tree;
  for (auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      tree[entry.path().string().substr(root.size() + 1)] = ReadFileBytes(entry.path().string());
    }
  }
  return tree;
}
