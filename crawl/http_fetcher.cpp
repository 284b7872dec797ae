#include "crawl/http_fetcher.h"

#include <cstdio>

#include "crawl/text_ops.h"

FetchedFile::FetchedFile() : data(std::make_unique_for_overwrite<char[]>(kCapacity)) {}

bool IsHttpUrl(const std::string& text) {
  return StartsWithNoCase(text, "http://") || StartsWithNoCase(text, "https://");
}

std::unique_ptr<FetchedFile> LoadLocal(const std::string& path) {
  auto file = std::make_unique<FetchedFile>();
  file->url = path;
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  if (stream == nullptr)
    return file;
  size_t total = 0;
  while (total < static_cast<size_t>(FetchedFile::kCapacity)) {
    size_t n = std::fread(file->data.get() + total, 1, FetchedFile::kCapacity - total, stream);
    if (n == 0)
      break;
    total += n;
  }
  std::fclose(stream);
  file->length = static_cast<int32_t>(total);
  return file;
}
