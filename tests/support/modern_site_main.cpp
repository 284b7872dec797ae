// Serves the modern test site on 127.0.0.1 until it is told to stop: for measuring copies of it
// with other programs. Usage: kelvane_modern_site PORT-FILE [clean] (the port is written there;
// "clean" serves the site of clean addresses instead).
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "support/modern_site.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
  const bool clean = argc == 3 && std::string(argv[2]) == "clean";
  if (argc != 2 && !clean) {
    std::fprintf(stderr, "usage: kelvane_modern_site PORT-FILE [clean]\n");
    return 2;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  SiteServer site;
  RawServer server(site.Handler());
  site.SetAll(clean ? CleanSite() : ModernSite("127.0.0.1:" + std::to_string(server.Port())));
  site.TryFiles(clean);
  if (std::FILE* out = std::fopen(argv[1], "w")) {
    std::fprintf(out, "%d\n", server.Port());
    std::fclose(out);
  }
  while (g_stop == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return 0;
}
