#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "crawl/base/crawl_plan.h"
#include "crawl/base/fetched_file.h"
#include "crawl/copy/kept_readings.h"
#include "crawl/copy/link_converter.h"
#include "crawl/copy/mirror_store.h"
#include "crawl/rules/crawl_rules.h"

// What a crawl does to its copy beyond storing files, each part asked for by the plan: names a
// browser opens from disk (a page served as HTML ends in .html, a stylesheet in .css), earlier
// copies asked for again only if they changed, and, once the crawl is over, links rewritten so
// that the copy reads from disk.
class CopyUpkeep {
 public:
  CopyUpkeep(const CrawlPlan& plan, const CrawlRules& rules, MirrorStore& store);

  // The start address up to its last "/", against which addresses are placed.
  void SetBasePrefix(const std::string& basePrefix) { m_basePrefix = basePrefix; }
  // Where the earlier copy of an address is, when there is one: the file recorded for it, else
  // its local path or the name that a browser opens, unless that holds another address's file.
  std::optional<std::string> EarlierCopy(const std::string& url, const std::string& localPath);
  // The earlier copy read for its links: a copy whose links were rewritten is read with the
  // addresses it named before, so that a rerun follows the same links. Nothing when it cannot be
  // read.
  std::unique_ptr<FetchedFile> ReadEarlierCopy(const std::string& localPath);
  // The request header lines that ask for a file only if it changed since its copy was stored.
  std::vector<std::string> Conditions(const std::string& copyPath);
  // Whether a fetched file is byte for byte its earlier copy as it was stored, before any
  // conversion of its links.
  bool SameAsCopy(const FetchedFile& file, const std::string& copyPath);
  // The local path a fetched file of an address is stored under. For complete pages or adjusted
  // names no two addresses of different local paths share one: where another's file has the
  // name, the address whose own name it is takes it back from one stored by this crawl (whose
  // file moves aside), and otherwise the file gets a name beside it.
  std::string StoredName(const std::string& url, const std::string& localPath,
                         const FetchedFile& file);
  // A file of this crawl, stored or read from its copy, and the address it stands for: only these
  // are rewritten. What reading it found is kept, within a bound, so that it is not read again.
  void Touched(const std::string& localPath, const std::string& address, FileReading reading = {});
  // Rewrites this crawl's pages and stylesheets: a reference to a stored file becomes a relative
  // path to it, any other its absolute address. Files are converted side by side, each against
  // the records as they stood when conversion began, and logged in order. Stops when the flag is
  // raised; then the next run converts what is left.
  struct Converted {
    int32_t files = 0;     // rewritten
    bool stopped = false;  // before every file was looked at
    int32_t notConverted =
        0;  // could not be written, or their originals not kept: left as they were
    // The first of those refused for want of room or permission: errno, and the directory.
    int refusal = 0;
    std::string refusedIn;
  };
  // No file is begun after the deadline, where there is one.
  Converted ConvertLinks(const std::string& basePrefix, const std::atomic<int>& stop,
                         std::optional<std::chrono::steady_clock::time_point> deadline = {});

 private:
  // A page or stylesheet larger than this is not rewritten: no copy of a site is near it.
  static constexpr size_t kLargestConverted = FetchedFile::kLargestRead;
  // The files stored for addresses, as one conversion thread has looked them up.
  struct StoredFiles {
    std::unordered_map<std::string, std::optional<std::string>> byAddress;
    const std::optional<std::string>& Of(CopyUpkeep& upkeep, const std::string& url,
                                         const std::string& basePrefix);
  };
  struct Touch {
    std::string address;                  // where nothing of it is kept
    uint64_t kept = KeptReadings::kNone;  // its address, and what reading it found
  };
  using TouchedFile = std::pair<const std::string, Touch>;  // by local path
  // What converting one file came to.
  struct Conversion {
    bool done = false;
    bool cut = false;  // stopped before its end: left as it was
    bool backupFailed = false;
    int error = 0;       // errno of the write that failed
    std::string backup;  // where the original went, where it is not NAME.orig
    enum class Write { None, Written, Failed } write = Write::None;
  };

  // The file stored for an address, when one is.
  std::optional<std::string> StoredFileOf(const std::string& url, const std::string& basePrefix);
  // The relative path to a recorded file that a link in a converted file is.
  std::optional<std::string> RecordedTarget(const std::string& localPath, const std::string& link);
  std::optional<std::string> ConvertedAddress(const std::string& localPath, bool converted,
                                              const FoundReference& reference,
                                              const std::string& basePrefix, StoredFiles& stored);
  // The text with the kept references converted.
  std::string ConvertedKept(const std::string& localPath, std::string_view text,
                            const KeptReading& kept, const std::string& basePrefix,
                            const std::atomic<int>& stop, StoredFiles& stored);
  // Converts one file; the store is used under m_storeLock, as other files convert beside it.
  // Touch's address as it was kept, and what reading found where it holds; nothing when neither
  // can be told.
  std::optional<KeptReading> KeptOf(const Touch& touch) const;
  Conversion Convert(const std::string& localPath, const Touch& touch,
                     const std::string& basePrefix, const std::atomic<int>& stop,
                     StoredFiles& stored);
  // Writes a file's converted text, its original kept beside it first where asked.
  void WriteConverted(const std::string& localPath, const std::string& original,
                      const std::string& rewritten, bool converted, Conversion& conversion);
  // Records the address of each file written, and counts what became of the files.
  Converted Tally(const std::vector<const TouchedFile*>& files,
                  const std::vector<Conversion>& conversions);
  // The log lines of a conversion.
  static void LogConversion(const std::string& localPath, const Conversion& conversion);

  // The name the answer's Content-Disposition gives the file, in its directory, where asked.
  std::string DisposedName(const std::string& localPath, const FetchedFile& file) const;
  // The name a browser opens for a file stored at the path.
  std::string AdjustedName(const std::string& localPath, const FetchedFile& file) const;
  // The local path the crawl's rules give an address.
  std::string OwnPath(const std::string& url) const;
  // Whether the file at the path was stored, with complete pages, for another address than url
  // whose own local path is not url's: addresses that share a local path share its copy, as they
  // do one at a time; one named otherwise (by -E, or beside another) keeps to itself.
  bool HeldByAnother(const std::string& localPath, const std::string& url,
                     const std::string& answeredBy = {});
  // A file of this program's in the way of the path, where a directory must be, moves beside
  // itself: a file and a directory of the same name both keep their content.
  void ClearWayTo(const std::string& localPath);
  // Moves a stored file and its record, and what this crawl knows of it; false when it cannot.
  bool MoveAside(const std::string& localPath, const std::string& aside);
  // A free name beside the path for the file of url: "~2", "~3", ... before its extension.
  std::string NameBeside(const std::string& localPath, const std::string& url);
  // How a document stands among those that would have the name: the one whose own name it is
  // first, then by address.
  std::pair<bool, std::string> Rank(const std::string& name, const std::string& asked,
                                    const std::string& answered) const;
  // The document's place beside the name among this crawl's files that would have it, in their
  // order: those it goes before move one place on.
  std::string RankedBeside(const std::string& name, const std::string& asked,
                           const std::string& answered);

  const CrawlPlan& m_plan;
  const CrawlRules& m_rules;
  MirrorStore& m_store;
  std::string m_basePrefix;
  std::unordered_map<std::string, Touch> m_touched;  // by local path
  KeptReadings m_kept;  // what the crawl's reading of the files touched found
  bool m_spillOpened = false;
  std::mutex m_storeLock;  // held for the store while files convert side by side
  // Whether each directory a converted link points into exists: none is made once the crawl has
  // ended, and links to other servers name thousands of files in directories never made.
  std::unordered_map<std::string, bool> m_directoriesAfterCrawl;
};
