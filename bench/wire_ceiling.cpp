// The fastest that one fresh HTTP/1.0 connection per file, one file after the other, can go:
// fetches every address of a list with libcurl and writes each body to a file.
#include <curl/curl.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {
size_t Write(char* data, size_t size, size_t count, void* file) {
  return std::fwrite(data, size, count, static_cast<std::FILE*>(file)) * size;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL-LIST OUT-DIR\n", argv[0]);
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::ifstream list(argv[1]);
  std::string url;
  int n = 0, failed = 0;
  while (std::getline(list, url)) {
    std::string path = std::string(argv[2]) + "/" + std::to_string(n++);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, file);
    if (curl_easy_perform(easy) != CURLE_OK)
      ++failed;
    curl_easy_cleanup(easy);
    std::fclose(file);
  }
  curl_global_cleanup();
  return failed == 0 ? 0 : 1;
}
