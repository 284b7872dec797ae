// Writes the benchmark site: N pages and N pictures in 20 directories, each page with its
// picture and five links to other pages (about 2.4 KB of text), pictures of 2 KB; the same
// seed gives the same site. Prints the list of every address below the base URL, start first.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PAGES DIR BASE-URL\n", argv[0]);
    return 2;
  }
  const int pages = std::atoi(argv[1]);
  const std::string root = argv[2];
  const std::string base = argv[3];
  std::mt19937 random(20261207);
  auto dir = [](int i) {
    char name[8];
    std::snprintf(name, sizeof name, "d%02d", i % 20);
    return std::string(name);
  };
  auto page = [&](int i) { return dir(i) + "/p" + std::to_string(i) + ".htm"; };
  auto write = [&](const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(root + "/" + path).parent_path());
    std::ofstream(root + "/" + path, std::ios::binary) << bytes;
    std::printf("%s/%s\n", base.c_str(), path == "index.html" ? "" : path.c_str());
  };
  std::string index = "<html><body>\n";
  for (int i = 0; i < 20 && i < pages; ++i)
    index += "<A HREF=\"" + page(i) + "\">start</A><br>\n";
  write("index.html", index + "</body></html>\n");
  for (int i = 0; i < pages; ++i) {
    std::string text = "<html><head><title>Page " + std::to_string(i) + "</title></head><body>\n";
    text += "<IMG SRC=\"pic" + std::to_string(i) + ".gif\" ALT=\"picture\">\n";
    text += "<A HREF=\"../" + page((i + 1) % pages) + "\">next</A>\n";
    for (int k = 1; k < 5; ++k)
      text += "<a href='../" + page(static_cast<int>(random() % pages)) + "'>link</a>\n";
    while (text.size() < 2400)
      text += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do.\n";
    write(page(i), text + "</body></html>\n");
    std::string picture(2048, '\0');
    for (char& c : picture)
      c = static_cast<char>(random());
    write(dir(i) + "/pic" + std::to_string(i) + ".gif", picture);
  }
  return 0;
}
