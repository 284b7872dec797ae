#pragma once

// The crawl's archive: every exchange its transfers make, written as WARC/1.1 records, one gzip
// member each, to NAME.warc.gz as the crawl goes (NAME-00000.warc.gz, NAME-00001.warc.gz … with
// a size limit). Transfers on any thread hand their exchanges over; whole records are written
// one at a time.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crawl/archive/archive_index.h"
#include "crawl/archive/package_scratch.h"
#include "crawl/archive/wacz_package.h"
#include "crawl/archive/warc_record.h"
#include "crawl/base/crawl_plan.h"
#include "platform/wire_recorder.h"

// Where a record's payload was first recorded, for a revisit that points to it.
struct RecordedPayload {
  std::string uri;
  std::string date;
  std::string id;
};

class WarcWriter : public WireRecorder {
 public:
  // Opens the first file and writes its warcinfo record; nothing, with why, when it cannot.
  static std::unique_ptr<WarcWriter> Open(const ArchivePlan& plan, std::string& why);
  ~WarcWriter() override;

  std::unique_ptr<WireExchange> Begin(const std::string& url, const std::string& ip,
                                      std::chrono::system_clock::time_point when) override;

  // Called once, from the writer's thread, when a record cannot be written: the archive is not
  // whole from then on, and the crawl had better stop.
  void OnFailure(std::function<void()> failed) { m_onFailure = std::move(failed); }
  // A page the crawl read, for the package's list of pages.
  void AddPage(const std::string& url, const std::string& title);
  // Ends the last file, and writes the index and the package where they are asked for; false,
  // with why, when a record, the index or the package could not be written.
  bool Close(std::string& why);
  int Records() const;
  std::vector<std::string> Files() const;
  std::vector<IndexEntry> Index() const;

 private:
  struct Exchange;
  struct Captured;
  // A whole exchange goes to the writer's own thread, which digests, compresses and writes it;
  // with many waiting, the transfer that hands one over waits, so memory stays bounded.
  void Queue(std::unique_ptr<Captured> exchange);
  void WriteAll();
  // Written as a request record and a response or revisit record.
  void Write(Captured& exchange);
  struct AnswerRecord {
    std::string id, date, blockDigest, payloadDigest;
    WarcFields fields;  // those it shares with its request, and its id
  };
  void WriteAnswer(Captured& exchange, AnswerRecord& answer);
  // With m_lock held: whether the archive takes the exchange, the next file begun where the last
  // is full; where it cannot, the failure is kept and told.
  bool Takes(const Captured& exchange, bool readBack);
  // A revisit's own fields: the profile, what it refers to (an earlier record of the payload,
  // none for a 304), and its block digest, of the head alone.
  void RevisitFields(const Captured& exchange, AnswerRecord& answer,
                     const RecordedPayload* earlier);
  explicit WarcWriter(const ArchivePlan& plan);
  bool OpenNext();
  // false once the archive has failed; the failure is kept in m_why.
  bool WriteRecord(const WarcFields& fields, const std::string& block, const RecordBody* body,
                   IndexEntry* entry);
  // Writes a record as one gzip member; its size, or 0, with why, when it could not be.
  uint64_t WriteMember(const WarcFields& fields, const std::string& block, const RecordBody* body,
                       std::string& why);
  bool LoadIndex(const std::string& path);
  // With m_lock held, at the close: the index file, and the package with its list of pages.
  void WriteIndexFile();
  void Pack();
  std::string IndexPath() const;
  std::string FileName(int number) const;

  ArchivePlan m_plan;
  std::string m_info;  // the warcinfo record's fields
  mutable std::mutex m_lock;
  int m_fd = -1;
  int m_number = 0;
  uint64_t m_size = 0;  // of the file being written
  std::string m_file;   // its path
  std::string m_infoId;
  std::string m_why;  // the first failure; no record is written after it
  int m_records = 0;
  std::vector<std::string> m_files;
  std::vector<IndexEntry> m_index;
  std::map<std::string, RecordedPayload> m_payloads;  // by payload digest, for revisits
  // The earlier index's answers by address (id: their payload digest), which an answer saying
  // its address has not changed refers to.
  std::map<std::string, RecordedPayload> m_originals;
  std::vector<std::pair<std::string, std::string>> m_pages;  // address, title
  // A package's working directory, where its WARC files are written first when it is asked for
  // alone (m_inScratch); removed once packed.
  std::unique_ptr<PackageScratch> m_scratch;
  bool m_inScratch = false;
  std::mutex m_queueLock;
  std::condition_variable m_queueChanged;
  std::deque<std::unique_ptr<Captured>> m_queue;
  bool m_closing = false;
  bool m_opened = false;  // Open went through: Close writes the index and the package
  bool m_closed = false;
  bool m_rollOver = false;  // the file is full: the next record begins another
  std::string m_spillDirectory;
  std::function<void()> m_onFailure;
  MemberPacker m_packer;
  std::string m_record;  // the record being packed, kept for its room
  std::thread m_thread;
};
