#include "crawl/archive/warc_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "crawl/archive/answer_digests.h"
#include "crawl/archive/archive_index.h"
#include "crawl/archive/package_scratch.h"
#include "platform/ascii.h"

#ifndef KELVANE_VERSION
#define KELVANE_VERSION "unknown"
#endif

namespace {

constexpr const char* kProfiles = "http://netpreserve.org/warc/1.1/revisit/";

}  // namespace

struct WarcWriter::Captured {
  std::string url, ip;
  std::chrono::system_clock::time_point when;
  std::string request, head;
  RecordBody body;
  int spillError = 0;  // errno of the first write to the body's temporary file that failed
  WireCut cut = WireCut::None;
};

// The transfer's thread only keeps the bytes; digests, compression and writing are the writer's.
struct WarcWriter::Exchange final : WireExchange {
  Exchange(WarcWriter& writer, std::string url, std::string ip,
           std::chrono::system_clock::time_point when)
      : writer(writer), captured(std::make_unique<Captured>()) {
    captured->body.SpillTo(writer.m_spillDirectory);
    captured->url = std::move(url);
    captured->ip = std::move(ip);
    captured->when = when;
  }

  void Request(std::string_view bytes) override { captured->request.append(bytes); }
  void AnswerHead(std::string_view bytes) override { captured->head.assign(bytes); }
  void AnswerBody(std::string_view bytes) override {
    if (!captured->body.Append(bytes) && captured->spillError == 0)
      captured->spillError = errno != 0 ? errno : EIO;
  }
  // An exchange that got no answer at all keeps its request: the server may have seen it.
  void End(WireCut how) override {
    if (!captured || captured->request.empty())
      return;
    captured->cut = how;
    writer.Queue(std::move(captured));
  }

  WarcWriter& writer;
  std::unique_ptr<Captured> captured;
};

WarcWriter::WarcWriter(const ArchivePlan& plan) : m_plan(plan) {
  m_info = "software: Kelvane/" KELVANE_VERSION
           "\r\nformat: WARC File Format 1.1\r\nconformsTo: "
           "http://iipc.github.io/warc-specifications/specifications/warc-format/warc-1.1/\r\n"
           "description: answers that came over HTTP/2 are recorded in HTTP/1.1 form\r\n";
  if (!plan.commandLine.empty())
    m_info += "options: " + FieldValue(plan.commandLine) + "\r\n";
}

WarcWriter::~WarcWriter() {
  std::string ignored;
  Close(ignored);
  if (m_fd >= 0)
    ::close(m_fd);
}

std::unique_ptr<WarcWriter> WarcWriter::Open(const ArchivePlan& plan, std::string& why) {
  std::unique_ptr<WarcWriter> writer(new WarcWriter(plan));
  if (!plan.wacz.empty()) {
    // An archive is never written over: the package asked for must be new, and its place one
    // that takes a file.
    if (NameTaken(plan.wacz)) {
      why = plan.wacz + ": " + std::strerror(EEXIST);
      return nullptr;
    }
    const std::string probe = plan.wacz + ".part";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      why = probe + ": " + std::strerror(errno);
      return nullptr;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    writer->m_scratch = PackageScratch::Claim(plan.wacz, why);
    if (!writer->m_scratch)
      return nullptr;
    // The package alone: its WARC file is made in that directory.
    writer->m_inScratch = plan.warcFile.empty();
    if (writer->m_inScratch)
      writer->m_plan.warcFile = writer->m_scratch->Path() + "/data";
  }
  writer->m_spillDirectory = DirectoryOf(writer->m_plan.warcFile);
  if (plan.cdx && NameTaken(writer->IndexPath())) {
    why = writer->IndexPath() + ": " + std::strerror(EEXIST);
    return nullptr;
  }
  if (!plan.dedupIndex.empty() && !writer->LoadIndex(plan.dedupIndex)) {
    why = plan.dedupIndex + ": " + std::strerror(errno);
    return nullptr;
  }
  if (!plan.wacz.empty() && !writer->m_payloads.empty()) {
    why = plan.dedupIndex + ": a package holds the answers it replays, not those of other archives";
    return nullptr;
  }
  {
    std::lock_guard lock(writer->m_lock);
    if (!writer->OpenNext()) {
      why = writer->m_why;
      return nullptr;
    }
  }
  writer->m_opened = true;
  writer->m_thread = std::thread([raw = writer.get()] { raw->WriteAll(); });
  return writer;
}

std::string WarcWriter::FileName(int number) const {
  if (m_plan.maxSize <= 0)
    return m_plan.warcFile + ".warc.gz";
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "-%05d", number);
  return m_plan.warcFile + suffix + ".warc.gz";
}

bool WarcWriter::OpenNext() {
  if (m_fd >= 0)
    ::close(m_fd);
  m_file = FileName(m_number++);
  // An earlier archive of that name is kept, never written over.
  m_fd = ::open(m_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (m_fd < 0) {
    m_why = m_file + ": " + std::strerror(errno);
    return false;
  }
  m_size = 0;
  m_files.push_back(m_file);
  m_infoId = NewRecordId();
  const size_t slash = m_file.rfind('/');
  WarcFields fields = {
      {"WARC-Type", "warcinfo"},
      {"WARC-Record-ID", m_infoId},
      {"WARC-Date", WarcDate(std::chrono::system_clock::now())},
      {"WARC-Filename", slash == std::string::npos ? m_file : m_file.substr(slash + 1)},
      {"Content-Type", "application/warc-fields"},
  };
  Digest digest;
  digest.Add(m_info);
  fields.emplace_back("WARC-Block-Digest", digest.Labelled());
  return WriteRecord(fields, m_info, nullptr, nullptr);
}

bool WarcWriter::WriteRecord(const WarcFields& fields, const std::string& block,
                             const RecordBody* body, IndexEntry* entry) {
  if (!m_why.empty())
    return false;
  std::string why;
  const uint64_t size = WriteMember(fields, block, body, why);
  if (size == 0) {
    m_why = m_file + ": " + why;
    // What came of the record is cut off: a reader must not take half a record for a whole one.
    if (::ftruncate(m_fd, static_cast<off_t>(m_size)) != 0)
      m_why += " (and the part written could not be cut off)";
    if (m_onFailure)
      m_onFailure();
    return false;
  }
  if (entry != nullptr) {
    const size_t slash = m_file.rfind('/');
    entry->file = slash == std::string::npos ? m_file : m_file.substr(slash + 1);
    entry->offset = m_size;
    entry->length = size;
    m_index.push_back(*entry);
  }
  m_size += size;
  ++m_records;
  return true;
}

uint64_t WarcWriter::WriteMember(const WarcFields& fields, const std::string& block,
                                 const RecordBody* body, std::string& why) {
  const bool compress = body == nullptr || !CompressedAlready(block);
  const uint64_t length = block.size() + (body != nullptr ? body->Size() : 0);
  uint64_t size = 0;
  if (body == nullptr || body->InMemory() != nullptr) {
    // Held whole in memory: packed in one go and written in one call.
    m_record.assign(RecordHead(fields, length));
    m_record.append(block);
    if (body != nullptr)
      m_record.append(*body->InMemory());
    m_record.append("\r\n\r\n");
    const std::string_view member = m_packer.Pack(m_record, compress);
    if (member.empty())
      why = "out of memory";
    else if (WriteFully(m_fd, member, why))
      size = member.size();
  } else {
    GzipMember member(m_fd, compress);
    bool written = member.Add(RecordHead(fields, length)) && member.Add(block);
    if (written)
      written = body->Each([&](std::string_view piece) {
        written = written && member.Add(piece);
      }) && written;
    if (written && member.Add("\r\n\r\n") && member.Finish())
      size = member.Written();
    else
      why = member.Why().empty() ? "the record could not be read" : member.Why();
  }
  return size;
}

std::unique_ptr<WireExchange> WarcWriter::Begin(const std::string& url, const std::string& ip,
                                                std::chrono::system_clock::time_point when) {
  return std::make_unique<Exchange>(*this, url, ip, when);
}

void WarcWriter::Queue(std::unique_ptr<Captured> exchange) {
  constexpr size_t kMostWaiting = 16;
  std::unique_lock lock(m_queueLock);
  m_queueChanged.wait(lock, [this] { return m_queue.size() < kMostWaiting || m_closing; });
  if (m_closing)
    return;  // the crawl has ended: an exchange still going at its end is no part of it
  m_queue.push_back(std::move(exchange));
  m_queueChanged.notify_all();
}

void WarcWriter::WriteAll() {
  for (;;) {
    std::unique_ptr<Captured> next;
    {
      std::unique_lock lock(m_queueLock);
      m_queueChanged.wait(lock, [this] { return !m_queue.empty() || m_closing; });
      if (m_queue.empty())
        return;
      next = std::move(m_queue.front());
      m_queue.pop_front();
      m_queueChanged.notify_all();
    }
    Write(*next);
  }
}

void WarcWriter::Write(Captured& exchange) {
  const std::string request = WithoutCredentials(exchange.request);
  Digest requestDigest;
  requestDigest.Add(request);
  AnswerRecord answer;
  bool cameShort = false;
  errno = 0;
  const bool readBack =
      exchange.head.empty() || AnswerDigests(exchange.request, exchange.head, exchange.body,
                                             answer.blockDigest, answer.payloadDigest, cameShort);
  if (cameShort && exchange.cut == WireCut::None)
    exchange.cut = WireCut::Unspecified;

  std::lock_guard lock(m_lock);
  if (!Takes(exchange, readBack))
    return;
  answer.date = WarcDate(exchange.when);
  const std::string requestId = NewRecordId();
  if (!exchange.head.empty())
    answer.id = NewRecordId();
  WarcFields common = {{"WARC-Warcinfo-ID", m_infoId},
                       {"WARC-Target-URI", exchange.url},
                       {"WARC-Date", answer.date}};
  if (!exchange.ip.empty())
    common.emplace_back("WARC-IP-Address", exchange.ip);

  WarcFields asked = {{"WARC-Type", "request"}, {"WARC-Record-ID", requestId}};
  if (!answer.id.empty())
    asked.emplace_back("WARC-Concurrent-To", answer.id);
  asked.insert(asked.end(), common.begin(), common.end());
  asked.emplace_back("WARC-Block-Digest", requestDigest.Labelled());
  asked.emplace_back("Content-Type", "application/http;msgtype=request");
  if (!WriteRecord(asked, request, nullptr, nullptr) || exchange.head.empty())
    return;
  answer.fields = {{"WARC-Record-ID", answer.id}, {"WARC-Concurrent-To", requestId}};
  answer.fields.insert(answer.fields.end(), common.begin(), common.end());
  WriteAnswer(exchange, answer);
  // The next file is begun by the next record, so that none holds its warcinfo alone.
  m_rollOver = m_plan.maxSize > 0 && m_size >= static_cast<uint64_t>(m_plan.maxSize);
}

bool WarcWriter::Takes(const Captured& exchange, bool readBack) {
  if (!m_why.empty() || m_fd < 0)
    return false;
  if (exchange.spillError != 0 || !readBack) {
    const int error = exchange.spillError != 0 ? exchange.spillError : errno != 0 ? errno : EIO;
    m_why = "a temporary file for " + exchange.url + ": " + std::strerror(error);
    if (m_onFailure)
      m_onFailure();
    return false;
  }
  if (std::exchange(m_rollOver, false) && !OpenNext()) {
    if (m_onFailure)
      m_onFailure();
    return false;
  }
  return true;
}

void WarcWriter::WriteAnswer(Captured& exchange, AnswerRecord& answer) {
  // Nothing new came: a 304, or with deduplication a payload already recorded whole.
  const int status = StatusOf(exchange.head);
  const bool whole = exchange.cut == WireCut::None;
  const bool firstSeen = whole && status / 100 == 2 && exchange.body.Size() > 0;
  const auto earlier =
      m_plan.dedup && firstSeen ? m_payloads.find(answer.payloadDigest) : m_payloads.end();
  const bool notModified = status == 304;
  const bool revisit = notModified || earlier != m_payloads.end();
  WarcFields& fields = answer.fields;
  fields.insert(fields.begin(), {"WARC-Type", revisit ? "revisit" : "response"});
  if (revisit) {
    RevisitFields(exchange, answer, notModified ? nullptr : &earlier->second);
  } else {
    fields.emplace_back("WARC-Block-Digest", answer.blockDigest);
    fields.emplace_back("WARC-Payload-Digest", answer.payloadDigest);
    if (const char* cut = CutName(exchange.cut))
      fields.emplace_back("WARC-Truncated", cut);
  }
  fields.emplace_back("Content-Type", "application/http;msgtype=response");
  IndexEntry entry{exchange.url,
                   answer.date,
                   status,
                   HeaderValue(exchange.head, "content-type"),
                   answer.payloadDigest,
                   std::string(),
                   0,
                   0,
                   revisit};
  if (WriteRecord(fields, exchange.head, revisit ? nullptr : &exchange.body, &entry) && !revisit &&
      firstSeen)
    m_payloads.emplace(answer.payloadDigest, RecordedPayload{exchange.url, answer.date, answer.id});
}

void WarcWriter::RevisitFields(const Captured& exchange, AnswerRecord& answer,
                               const RecordedPayload* earlier) {
  const bool notModified = earlier == nullptr;
  WarcFields& fields = answer.fields;
  Digest headDigest;
  headDigest.Add(exchange.head);
  fields.emplace_back(
      "WARC-Profile",
      std::string(kProfiles) + (notModified ? "server-not-modified" : "identical-payload-digest"));
  // Not modified, the body is the one an earlier archive of the address holds, where known.
  const auto original = notModified ? m_originals.find(exchange.url) : m_originals.end();
  if (original != m_originals.end()) {
    fields.emplace_back("WARC-Refers-To-Target-URI", exchange.url);
    fields.emplace_back("WARC-Refers-To-Date", original->second.date);
    answer.payloadDigest = original->second.id;
  } else if (!notModified) {
    fields.emplace_back("WARC-Refers-To-Target-URI", earlier->uri);
    fields.emplace_back("WARC-Refers-To-Date", earlier->date);
    if (!earlier->id.empty())
      fields.emplace_back("WARC-Refers-To", earlier->id);
    fields.emplace_back("WARC-Payload-Digest", answer.payloadDigest);
  } else {
    answer.payloadDigest.clear();
  }
  fields.emplace_back("WARC-Block-Digest", headDigest.Labelled());
}

std::string WarcWriter::IndexPath() const {
  // With the package alone, its index goes beside it rather than into its working directory.
  if (!m_inScratch)
    return m_plan.warcFile + ".cdxj";
  return (m_plan.wacz.ends_with(".wacz") ? m_plan.wacz.substr(0, m_plan.wacz.size() - 5)
                                         : m_plan.wacz) +
         ".cdxj";
}

bool WarcWriter::Close(std::string& why) {
  // An archive that never opened writes nothing: not its index, not its package.
  if (!m_opened) {
    why = m_why;
    return false;
  }
  {
    std::lock_guard lock(m_queueLock);
    m_closing = true;
    m_queueChanged.notify_all();
  }
  // What was handed over is written before the file is closed.
  if (m_thread.joinable())
    m_thread.join();
  std::lock_guard lock(m_lock);
  if (std::exchange(m_closed, true)) {
    why = m_why;
    return m_why.empty();
  }
  if (m_fd >= 0 && ::close(m_fd) != 0 && m_why.empty())
    m_why = m_file + ": " + std::strerror(errno);
  m_fd = -1;
  // The index lists the whole records, which are all the files hold, even once one failed; with
  // the package alone, whose files go into it, only beside the package written.
  if (!m_inScratch)
    WriteIndexFile();
  if (m_why.empty() && !m_plan.wacz.empty())
    Pack();
  if (m_inScratch && m_why.empty())
    WriteIndexFile();
  why = m_why;
  return m_why.empty();
}

void WarcWriter::WriteIndexFile() {
  if (m_plan.cdx && !WriteIndex(IndexPath(), m_index) && m_why.empty())
    m_why = IndexPath() + ": " + std::strerror(errno);
}

void WarcWriter::Pack() {
  // The pages as the crawl read them, each at the date of its first whole answer.
  std::map<std::string, std::string> dates;
  for (const IndexEntry& entry : m_index) {
    if (!entry.revisit && entry.status / 100 == 2)
      dates.emplace(entry.uri, entry.date);
  }
  std::vector<ArchivedPage> pages;
  std::set<std::string> listed;  // a page read again (by a redirect's end) is listed once
  for (const auto& [url, title] : m_pages) {
    if (const auto date = dates.find(url); date != dates.end() && listed.insert(url).second)
      pages.push_back({url, date->second, title});
  }
  WriteWacz(m_plan.wacz, m_files, m_index, pages, m_why);
}

void WarcWriter::AddPage(const std::string& url, const std::string& title) {
  std::lock_guard lock(m_lock);
  m_pages.emplace_back(url, title);
}

int WarcWriter::Records() const {
  std::lock_guard lock(m_lock);
  return m_records;
}

std::vector<std::string> WarcWriter::Files() const {
  std::lock_guard lock(m_lock);
  return m_files;
}

std::vector<IndexEntry> WarcWriter::Index() const {
  std::lock_guard lock(m_lock);
  return m_index;
}

bool WarcWriter::LoadIndex(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    errno = EISDIR;
    return false;
  }
  std::ifstream in(path);
  if (!in)
    return false;
  // Only whole answers are originals: never a 404's body, as in the crawl itself.
  for (std::string line; std::getline(in, line);) {
    std::optional<IndexEntry> entry = ReadIndexLine(line);
    if (entry && !entry->revisit && entry->status / 100 == 2 && !entry->digest.empty()) {
      m_payloads.emplace(entry->digest, RecordedPayload{entry->uri, entry->date, {}});
      m_originals[entry->uri] = RecordedPayload{entry->uri, entry->date, entry->digest};
    }
  }
  return true;
}
