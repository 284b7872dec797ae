#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/base/content_digest.h"
#include "crawl/base/fetched_file.h"
#include "platform/file_system.h"
#include "platform/transfer.h"

// Retrieves an address with one HTTP/1.0 GET over a connection of its own, reporting each step
// through the log and the bars: the one-at-a-time crawl's request, driven through one transfer
// slot as the crawl drives all its transfers. A failed network call raises the main dialog's
// stop flag, but with unreachableAlone, a server that cannot be reached is this file's failure
// alone (FetchProblem::Unreachable). A transfer that failed is told in failed, where given.
std::unique_ptr<FetchedFile> Fetch(std::string url, Transport& transport,
                                   const RedirectRule& mayRedirect = {},
                                   const std::vector<std::string>& headers = {},
                                   bool unreachableAlone = false, TransferResult* failed = nullptr);

// The activity bar's range, and the file bar's for a file of unknown size.
inline constexpr int kActivityHigh = 16384;

// How long a wait for the network may last before the stop flag is seen.
inline constexpr int kPollMs = 50;

// A server that asks for a pause (429, or 503 with Retry-After) is left alone that long and its
// file, robots.txt included, asked again, at most so many times; once it has asked so many times
// in a row, its answers stand until it gives another.
inline constexpr int kMostPauses = 4;

// What a fetch logs and shows once the answer's headers are in: the size header, or that there
// is none, and the bars' ranges. A size header is given only when it has at most 254 characters.
// fileBar: this transfer is the one the file bar follows.
void ReportAnswerHeaders(const std::optional<std::string>& sizeHeader, bool fileBar = true);

// The reports of a body's reads: a "bytes read" line for each read that brought bytes, the file
// bar at the total, and the activity bar going back and forth with the bytes.
class ReadProgress {
 public:
  void Read(int32_t bytes, int64_t total, bool fileBar = true);

 private:
  int m_activity = 0;
  int m_direction = 1;
};

// The answer's status, and why it must not be stored, from how its transfer ended.
void JudgeAnswer(FetchedFile& file, const TransferResult& result, bool tooLarge);

// How requests are made. One at a time: each over a connection of its own, as
// HTTP/1.0, its size header only text and the answer read to its close, nothing compressed
// asked for. Several at once: connections kept open, HTTP/2 streams over TLS (unless a rate
// limit pauses transfers), compressed answers asked for.
TransferRequest RequestFor(const std::string& url, bool oneAtATime, bool rateLimited);

// The first reports of a fetch: "Connecting to: " the address, then the server, and the item.
void ReportStart(const std::string& url);

// The transfer whose file the file bar follows: the largest of those in flight, by its size
// header; the next that reports once it has ended.
class FileReceiver;
struct FileBar {
  const FileReceiver* owner = nullptr;
};

// Where a body too large for a file's area goes on; none when the area is all a file may take.
using SpoolMaker = std::function<std::unique_ptr<SpoolFile>()>;

// How much of one answer may be taken, and where.
struct Intake {
  SpoolMaker spool;  // where a body goes once larger than the file's area
  int64_t most = 0;  // a larger body is refused as it comes; 0: no limit but the area's
  // The part of the file an earlier run kept, whose rest was asked for: it goes first where the
  // answer holds the rest.
  std::function<FileDescriptor()> kept;
  int64_t keptSize = 0;
  // Checking links: a body that is no page nor stylesheet is not taken, its answer is enough.
  bool answerOnly = false;
};

// Where one transfer's answer goes: into its file, and reported as a fetch reports it, a
// "bytes read" line for each 1,024 bytes and the last piece. The file's area is all it takes,
// unless the intake gives somewhere for the rest.
class FileReceiver : public TransferSink {
 public:
  // oneAtATime: the reads are reported as a fetch one at a time makes them, its reads after the
  // end included, until ten in a row have come short.
  FileReceiver(std::unique_ptr<FetchedFile> file, FileBar& bar, bool oneAtATime,
               Intake intake = {});
  ~FileReceiver() override;
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  void OnAnswer(const AnswerInfo& answer) override;
  bool RefusesBody() const override { return m_answerEnough || m_otherPart; }
  Take OnBody(const char* data, size_t size) override;

  // The transfer has ended with an answer: the rest reported, the bars back at 0, the file
  // judged by how it ended.
  void Ended(const TransferResult& result);
  // The transfer was stopped: the read that waited ends empty, and is shown.
  void Stopped();
  FetchedFile& File() { return *m_file; }
  std::unique_ptr<FetchedFile> TakeFile() { return std::move(m_file); }

 private:
  void ReportPieces(bool last);
  // The kept part of the file, taken as the first bytes of the answer; false where it cannot be.
  bool TakeKept();
  // Takes bytes into the spool, opened once the area is full; false where they cannot go.
  bool Spool(const char* data, size_t size);

  std::unique_ptr<FetchedFile> m_file;
  FileBar& m_bar;
  const bool m_oneAtATime;
  Intake m_intake;
  int32_t m_expected = 0;  // the size header's bytes, 0 when unknown
  ReadProgress m_progress;
  int64_t m_reported = 0;
  bool m_answered = false;  // the final answer's headers came
  // Asked for the rest of a kept part: it came (the part went first), or another part did.
  bool m_resumed = false;
  bool m_otherPart = false;
  bool m_answerEnough = false;  // its body is not taken: its answer says all that is asked
  bool m_tooLarge = false;
  int m_unwritten = 0;  // errno where the spool could not be made or written
  ContentDigester m_digest;
};
