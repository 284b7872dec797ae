// A generated site served by nginx, mirrored by kelvane-cli, compared byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>

#include "support/nginx_server.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;  // relative path -> bytes

// Pages in 20 directories, each with its picture and links to five other pages; every page
// links to the next one, so the whole site is reachable from the start page.
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

Tree ReadTree(const std::string& root) {
  Tree tree;
  for (auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      tree[entry.path().string().substr(root.size() + 1)] = ReadFileBytes(entry.path().string());
    }
  }
  return tree;
}

double Seconds(const std::function<void()>& run) {
  auto started = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

TEST(MirrorEndToEnd, GeneratedSiteIsCopiedByteForByte) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  const Tree site = GenerateSite(150, 20261207);
  for (const auto& [path, bytes] : site) {
    fs::create_directories(fs::path(served.Path() + "/" + path).parent_path());
    WriteFileBytes(served.Path() + "/" + path, bytes);
  }
  NginxServer nginx(served.Path());
  ASSERT_TRUE(nginx.Running());

  TempDir mirror;
  ProcessResult run;
  double seconds = Seconds([&] {
    run = RunProcess({KELVANE_CLI_PATH, "--save-to", mirror.Path(), nginx.Url("/")});
  });
  ASSERT_EQ(run.exitCode, 0) << run.err;
  RecordProperty("kelvane_cli_seconds", std::to_string(seconds));
  std::printf("kelvane-cli mirrored %zu files in %.3f s\n", site.size(), seconds);
  if (access("/usr/bin/wget", X_OK) == 0) {
    TempDir peer;
    double wget = Seconds([&] {
      RunProcess(
          {"/usr/bin/wget", "-r", "-np", "-l", "inf", "-q", "-P", peer.Path(), nginx.Url("/")});
    });
    std::printf("wget -r -np -l inf on the same site: %zu files in %.3f s\n",
                ReadTree(peer.Path()).size(), wget);
  }

  // The start page is the directory "/" and is stored as its index; everything else as served.
  Tree expected = site;
  expected["~index.htm"] = expected["index.html"];
  expected.erase("index.html");
  const std::string host = mirror.Path() + "/127.0.0.1:" + std::to_string(nginx.Port());
  Tree copied = ReadTree(host);
  EXPECT_EQ(copied.size(), expected.size());
  for (const auto& [path, bytes] : expected) {
    auto found = copied.find(path);
    if (found == copied.end()) {
      ADD_FAILURE() << "missing " << path;
    } else {
      EXPECT_TRUE(found->second == bytes) << "differs: " << path;
    }
  }
  EXPECT_EQ(ReadTree(mirror.Path()).size(), copied.size()) << "nothing outside the host directory";

  // A rerun reads every stored copy and downloads nothing.
  ProcessResult again = RunProcess({KELVANE_CLI_PATH, "--save-to", mirror.Path(), nginx.Url("/")});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_NE(again.err.find(" downloaded"), std::string::npos);
  EXPECT_NE(again.err.find(", 0 downloaded,"), std::string::npos) << again.err;
  EXPECT_EQ(ReadTree(host), copied);
}

}  // namespace
