// Feeds every file of the given corpus directories to a fuzz target, so that a committed input
// that once crashed, hung or crawled fails the ordinary test run, not only a fuzzing session.
// Each input is also fed repeated up to a mebibyte: a target whose cost grows faster than its
// input shows it there, long before the test's time limit.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr size_t kAmplified = 1 << 20;
// Generous for a sanitizer build on a busy machine; a quadratic target takes many times this.
constexpr double kInputSeconds = 1.0;
constexpr double kAmplifiedSeconds = 5.0;

double Seconds(const std::vector<uint8_t>& bytes) {
  const auto started = std::chrono::steady_clock::now();
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// True when the input and its repetition both stay within their time.
bool Replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  const double once = Seconds(bytes);
  double repeated = 0;
  if (!bytes.empty()) {
    std::vector<uint8_t> amplified;
    amplified.reserve(kAmplified + bytes.size());
    while (amplified.size() < kAmplified)
      amplified.insert(amplified.end(), bytes.begin(), bytes.end());
    repeated = Seconds(amplified);
  }
  std::fprintf(stderr, "replayed %s: %.3f s, repeated to 1 MiB %.3f s\n", path.c_str(), once,
               repeated);
  if (once <= kInputSeconds && repeated <= kAmplifiedSeconds)
    return true;
  std::fprintf(stderr, "too slow: %s\n", path.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int replayed = 0;
  bool fast = true;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (!fs::is_directory(argv[i], error)) {
      std::fprintf(stderr, "no corpus directory: %s\n", argv[i]);
      return 2;
    }
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(argv[i])) {
      if (!entry.is_regular_file())
        continue;
      fast = Replay(entry.path()) && fast;
      ++replayed;
    }
  }
  std::printf("%d inputs replayed\n", replayed);
  return replayed > 0 && fast ? 0 : 1;
}
