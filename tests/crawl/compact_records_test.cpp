// The compact forms a crawl of millions of files keeps its knowledge in give the answers that
// plain containers of whole texts give.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "crawl/base/fingerprints.h"
#include "crawl/copy/kept_readings.h"
#include "crawl/copy/record_file.h"
#include "support/temp_dir.h"

namespace {

// Addresses as sites spell them, drawn from a smaller pool so that many come again.
std::string RandomAddress(std::mt19937_64& random, size_t pool) {
  const uint64_t n = random() % pool;
  static const char* kShapes[] = {"http://host/d%llu/p%llu.htm", "https://h%llu.example/%llu/",
                                  "http://host/q?a=%llu&b=%llu", "http://host/%llu%%20x/%llu"};
  char text[96];
  std::snprintf(text, sizeof text, kShapes[n % 4], static_cast<unsigned long long>(n % 97),
                static_cast<unsigned long long>(n));
  return text;
}

TEST(Fingerprints, AMillionAddressesGiveTheAnswersOfAPlainSet) {
  std::mt19937_64 random(41);
  FingerprintSet set;
  std::unordered_set<std::string> plain;
  for (int i = 0; i < 1000000; ++i) {
    const std::string address = RandomAddress(random, 600000);
    ASSERT_EQ(set.Insert(address), plain.insert(address).second) << address;
    const std::string probe = RandomAddress(random, 1200000);
    ASSERT_EQ(set.Contains(probe), plain.contains(probe)) << probe;
  }
  EXPECT_EQ(set.Size(), plain.size());
  EXPECT_FALSE(set.Contains(""));
  EXPECT_TRUE(set.Insert(""));
  EXPECT_TRUE(set.Contains(""));
}

TEST(Fingerprints, AnIndexLeadsToEveryValueOfItsKeyAndTakesOneOffAtATime) {
  std::mt19937_64 random(42);
  FingerprintIndex index;
  std::unordered_multimap<std::string, uint64_t> plain;
  for (uint64_t i = 0; i < 300000; ++i) {
    const std::string key = RandomAddress(random, 100000);
    if (random() % 3 == 0) {
      auto [from, to] = plain.equal_range(key);
      const bool there = from != to;
      const uint64_t value = there ? from->second : i;
      ASSERT_EQ(index.Remove(key, value), there);
      if (there)
        plain.erase(from);
    } else {
      index.Add(key, i);
      plain.emplace(key, i);
    }
    const std::string probe = RandomAddress(random, 100000);
    std::vector<uint64_t> candidates = index.Candidates(probe);
    std::multiset<uint64_t> expected;
    for (auto [from, to] = plain.equal_range(probe); from != to; ++from)
      expected.insert(from->second);
    // Another key of the same 64 bits would add its own: none among so few.
    ASSERT_EQ(std::multiset<uint64_t>(candidates.begin(), candidates.end()), expected) << probe;
  }
  EXPECT_EQ(index.Size(), plain.size());
}

StoreRecord Record(std::mt19937_64& random) {
  StoreRecord record;
  record.contentType = random() % 2 ? "text/html" : "image/gif";
  record.url = RandomAddress(random, 300);
  const uint64_t asked = random() % 3;  // none, the address that answered, or another
  record.asked = asked == 0 ? std::string() : asked == 1 ? record.url : RandomAddress(random, 300);
  record.etag = "\"" + std::to_string(random() % 1000) + "\"\t%\n";  // escaped on its line
  record.converted = random() % 2 != 0;
  return record;
}

bool Same(const StoreRecord& a, const StoreRecord& b) {
  return a.contentType == b.contentType && a.url == b.url && a.asked == b.asked &&
         a.etag == b.etag && a.converted == b.converted;
}

// The newest record whose address is url, as the plain map knows it.
std::optional<std::string> NewestPath(
    const std::map<std::string, std::pair<int, StoreRecord>>& plain, const std::string& url) {
  std::optional<std::string> path;
  int newest = -1;
  for (bool asked : {true, false}) {
    for (const auto& [below, stamped] : plain) {
      if ((asked ? stamped.second.asked : stamped.second.url) == url && stamped.first > newest) {
        newest = stamped.first;
        path = below;
      }
    }
    if (path)
      return path;
  }
  return path;
}

// Records added, replaced, held for the crawl alone and forgotten answer as a plain map does,
// in the crawl (while another adds lines to the same file), and from the file in the next one,
// before and after it is written anew.
TEST(RecordFileTest, AnswersAsAPlainMapInTheCrawlAndTheNext) {
  TempDir temp;
  ConfinedDirectory directory(temp.Path());
  const std::string path = temp.Path() + "/.kelvane/records";
  std::mt19937_64 random(43);
  std::map<std::string, std::pair<int, StoreRecord>> plain;  // with when it was set
  std::map<std::string, std::pair<int, StoreRecord>> onDisk;
  size_t lines = 0;
  RecordFile records(directory, path);
  records.Load();
  RecordFile other(directory, path);
  for (int step = 0; step < 3000; ++step) {
    const std::string below = "d/" + std::to_string(random() % 400);
    const StoreRecord record = Record(random);
    switch (random() % 6) {
      case 0:
        records.Hold(below, record);
        plain[below] = {step, record};
        break;
      case 1:
        records.Forget(below);
        plain.erase(below);
        break;
      case 2:  // another crawl into the same directory adds its line in between
        other.Append("o/" + below, record);
        onDisk["o/" + below] = {step, record};
        ++lines;
        break;
      default:
        records.Append(below, record);
        plain[below] = onDisk[below] = {step, record};
        ++lines;
    }
    const std::string probe = "d/" + std::to_string(random() % 400);
    const std::optional<StoreRecord> found = records.Find(probe);
    ASSERT_EQ(found.has_value(), plain.contains(probe)) << probe;
    ASSERT_TRUE(!found || Same(*found, plain[probe].second)) << probe;
    const std::string url = RandomAddress(random, 300);
    ASSERT_EQ(records.PathOf(url, false), NewestPath(plain, url)) << url;
  }
  for (bool compacted : {false, true}) {
    RecordFile next(directory, path);
    EXPECT_EQ(next.Load(), compacted ? onDisk.size() : lines);
    for (const auto& [below, stamped] : onDisk) {
      const std::optional<StoreRecord> found = next.Find(below);
      ASSERT_TRUE(found && Same(*found, stamped.second)) << below;
    }
    EXPECT_EQ(next.Size(), onDisk.size());
    if (!compacted)
      next.Compact();
  }
}

// What reading a page found goes to the spill and comes back whole, also where the spill refuses
// it from the start or once it holds 100 KB (a full disk); without a spill nothing is kept, and
// the file is read again when converted.
// References larger than their text are not kept either.
TEST(KeptReadingsTest, ReadingsComeBackFromTheSpill) {
  TempDir temp;
  ConfinedDirectory directory(temp.Path());
  signal(SIGXFSZ, SIG_IGN);
  for (const char* spill : {"whole", "refusing", "full"}) {
    SCOPED_TRACE(spill);
    const bool refusing = spill == std::string("refusing");
    KeptReadings kept;
    FileReading reading;
    EXPECT_EQ(kept.Keep("http://host/", reading), KeptReadings::kNone);
    kept.SetSpill(refusing
                      ? std::make_unique<SpoolFile>(FileDescriptor(::open("/dev/null", O_RDONLY)))
                      : SpoolFile::Open(directory));
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit unlimited = limit;
    limit.rlim_cur = spill == std::string("full") ? 100 << 10 : limit.rlim_cur;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<uint64_t> places;
    for (int i = 0; i < 5000; ++i) {
      reading = FileReading();
      reading.kind = FileKind::Page;
      reading.address = "http://host/p" + std::to_string(i);
      reading.whole = i % 7 != 0;
      reading.size = i % 11 == 0 ? 20 : 1000 + static_cast<size_t>(i);
      reading.hash = static_cast<size_t>(i) * 77;
      for (int r = 0; r < i % 5; ++r) {
        PageReference reference;
        reference.link = "x" + std::to_string(r) + (r % 2 ? "#top" : "");
        reference.begin = static_cast<size_t>(r) * 10;
        reference.end = reference.begin + 5;
        reading.links.references.push_back(reference);
        reading.resolved.push_back(r == 3 ? "" : "http://host/x" + std::to_string(r));
      }
      places.push_back(kept.Keep("http://host/asked" + std::to_string(i), reading));
    }
    kept.Flush();
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    for (int i = 0; i < 5000; ++i) {
      const std::optional<KeptReading> back = kept.Read(places[i]);
      ASSERT_TRUE(back) << i;
      EXPECT_EQ(back->touched, "http://host/asked" + std::to_string(i));
      EXPECT_EQ(back->read, i % 7 != 0 && (i % 11 != 0 || i % 5 == 0));
      EXPECT_EQ(back->hash, static_cast<size_t>(i) * 77);
      if (!back->read)
        continue;
      ASSERT_EQ(back->references.size(), static_cast<size_t>(std::min(i % 5, 3)));
      for (size_t r = 0; r < back->references.size(); ++r) {
        EXPECT_EQ(back->references[r].address, "http://host/x" + std::to_string(r));
        EXPECT_EQ(back->references[r].fragment, r % 2 ? "#top" : "");
        EXPECT_EQ(back->references[r].place.begin, r * 10);
      }
    }
    EXPECT_FALSE(kept.Read(KeptReadings::kNone));
  }
}

}  // namespace
