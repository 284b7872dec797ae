#include "crawl/run/http_fetcher.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <unistd.h>

#include "crawl/base/crawl_dialog.h"
#include "crawl/copy/partial_files.h"
#include "platform/ascii.h"
#include "platform/transfer_slots.h"
#include "support/int_text.h"

namespace {

constexpr int kReadSize = 1024;       // one at a time, a fetch reads, and logs, this much at a time
constexpr int kShortReadsToEnd = 10;  // its reads end after this many short ones in a row
// With somewhere to spool to, a body larger than this goes there whole: a hundred streams at once
// hold a hundred of these in memory, not a hundred areas.
constexpr int32_t kSpoolBeyond = 1 << 20;

// Drives one transfer to its end, or until the stop flag is raised.
class OneTransfer {
 public:
  explicit OneTransfer(Transport& transport)
      : m_slots(1, transport, [this](int, const TransferResult& result) { m_result = result; }) {}

  // False, with how it failed, when the request cannot even be sent.
  bool Run(const TransferRequest& request, TransferSink& sink, TransferResult& result) {
    if (!m_slots.Start(0, request, sink, result))
      return false;
    std::string errorText;
    while (!m_result && StopFlag() == 0) {
      if (!m_slots.Pump(kPollMs, errorText))
        m_result = TransferResult::Failure(errorText);
    }
    if (m_result)
      result = *m_result;
    return true;
  }
  bool Ended() const { return m_result.has_value(); }

 private:
  TransferSlots m_slots;
  std::optional<TransferResult> m_result;
};

// A network call failed: its text goes to the log and the crawl is told to stop.
void ReportError(const std::string& text, FetchedFile& file) {
  file.failedCallText = text;
  Log(text);
  StopFlag() = 1;
}

// The request waits its turn with its server; false when the flag was raised meanwhile.
bool WaitForTurn(Politeness& politeness, const std::string& server) {
  for (;;) {
    const auto wait = politeness.ClaimStart(server);
    if (wait.count() == 0)
      return true;
    if (StopFlag() != 0)
      return false;
    std::this_thread::sleep_for(std::min(wait, std::chrono::milliseconds(kPollMs)));
  }
}

}  // namespace

void ReportAnswerHeaders(const std::optional<std::string>& sizeHeader, bool fileBar) {
  Log("Requesting file size...");
  if (sizeHeader) {
    int32_t size = TextToInt(*sizeHeader);
    Log("File size info = " + IntToText(size));
    if (fileBar)
      ShowProgressRange(Control::FileProgress, 0, size);
  } else {
    Log("Unknown File size");
    if (fileBar)
      ShowProgressRange(Control::FileProgress, 0, kActivityHigh);
  }
  ShowProgressRange(Control::ActivityProgress, 0, kActivityHigh);
  Log("Reading remote file...");
}

void ReadProgress::Read(int32_t bytes, int64_t total, bool fileBar) {
  if (bytes > 0)
    Log(IntToText(bytes) + " bytes read Total=" + std::to_string(total));
  if (fileBar)
    ShowProgressPosition(Control::FileProgress,
                         static_cast<int>(std::min<int64_t>(total, INT32_MAX)));
  if (m_activity > kActivityHigh || m_activity < 0)
    m_direction = -m_direction;
  m_activity += m_direction * bytes;
  ShowProgressPosition(Control::ActivityProgress, m_activity);
}

void JudgeAnswer(FetchedFile& file, const TransferResult& result, bool tooLarge) {
  file.status = result.status;
  if (tooLarge || result.end == TransferEnd::Refused) {
    file.problem = FetchProblem::TooLarge;
  } else if (result.end == TransferEnd::RedirectRefused) {
    file.problem = FetchProblem::RedirectRefused;
    file.problemText = result.text;
  } else if (result.end != TransferEnd::Complete) {
    file.problem = FetchProblem::Broken;
    file.problemText = result.text;
  } else if (file.status >= 300 || file.status < 200) {
    file.problem = FetchProblem::HttpError;  // an interim answer that ended there is no file either
  }
}

TransferRequest RequestFor(const std::string& url, bool oneAtATime, bool rateLimited) {
  TransferRequest request;
  std::string objectName;
  CutAddress(url, request.server, objectName);
  request.https = StartsWithNoCase(url, "https://");
  request.objectName = std::move(objectName);
  request.referrer = "http://" + request.server + "/";
  if (oneAtATime) {
    request.http10 = true;
    request.ownConnection = true;
    // The size header is read as text and may be anything: the answer ends at its close, or at
    // the announced length when that is a number.
    request.readToClose = true;
    return request;
  }
  // HTTP/2 is offered over TLS only; plain HTTP keeps its kept-open connections as they were.
  // Under a rate limit transfers are paused, and libcurl 7.88 keeps receiving for a paused stream
  // up to its window of 32 MiB: each keeps a connection of its own, where a pause holds the
  // server back.
  request.pooled = request.https && !rateLimited;
  request.compressed = true;
  return request;
}

void ReportStart(const std::string& url) {
  std::string server;
  std::string objectName;
  CutAddress(url, server, objectName);
  Log("Connecting to: " + url);
  Log("Connecting to: " + server);
  if (g_mainDialog != nullptr)
    g_mainDialog->ShowCurrentItem("Reading ", objectName);
}

FileReceiver::FileReceiver(std::unique_ptr<FetchedFile> file, FileBar& bar, bool oneAtATime,
                           Intake intake)
    : m_file(std::move(file)), m_bar(bar), m_oneAtATime(oneAtATime), m_intake(std::move(intake)) {}

FileReceiver::~FileReceiver() {
  if (m_bar.owner == this)
    m_bar.owner = nullptr;
}

void FileReceiver::OnAnswer(const AnswerInfo& answer) {
  m_file->status = answer.status;
  m_file->contentType = answer.contentType;
  m_file->lastModified = answer.lastModified;
  m_file->etag = answer.etag;
  m_file->contentDisposition = answer.contentDisposition;
  m_file->loginAsked = answer.loginAsked;
  m_file->digestAsked = answer.digestAsked;
  m_file->finalUrl = answer.url;
  m_answered = true;
  // A compressed answer's size header counts its encoded bytes, not the file's.
  const std::optional<std::string>& size = answer.sizeHeader;
  const bool known = size && size->size() <= 254 && !answer.encoded;
  m_expected = known ? TextToInt(*size) : 0;
  if (m_bar.owner == nullptr || m_expected > m_bar.owner->m_expected)
    m_bar.owner = this;
  ReportAnswerHeaders(known ? size : std::nullopt, m_bar.owner == this);
  m_answerEnough = m_intake.answerOnly && answer.status >= 200 && answer.status < 300 &&
                   KindOf(answer.contentType, answer.url) == FileKind::Other;
  if (m_intake.keptSize > 0 && answer.status == 206) {
    m_resumed = RangeStart(answer.contentRange) == m_intake.keptSize && TakeKept();
    m_otherPart = !m_resumed;
  }
}

bool FileReceiver::TakeKept() {
  const FileDescriptor kept = m_intake.kept();
  char buffer[65536];
  int64_t taken = 0;
  for (ssize_t n; kept.Valid() && (n = ::read(kept.Get(), buffer, sizeof buffer)) > 0;) {
    taken += n;
    if (taken > m_intake.keptSize || OnBody(buffer, static_cast<size_t>(n)) != Take::All)
      return false;
  }
  return taken == m_intake.keptSize;
}

TransferSink::Take FileReceiver::OnBody(const char* data, size_t size) {
  FetchedFile& file = *m_file;
  if (m_otherPart || m_answerEnough)
    return Take::Refuse;
  // Past the user's limit: as with the area, what fits is taken first, then the rest refused.
  const bool overLimit =
      m_intake.most > 0 && file.Size() + static_cast<int64_t>(size) > m_intake.most;
  if (overLimit) {
    file.problemText = std::to_string(m_intake.most);
    size = static_cast<size_t>(std::max<int64_t>(m_intake.most - file.Size(), 0));
  }
  if (m_intake.spool)
    m_digest.Add(std::string_view(data, size));
  const int32_t area = m_intake.spool ? kSpoolBeyond : FetchedFile::kCapacity;
  const size_t room = file.spool ? 0 : static_cast<size_t>(area - file.length);
  const size_t n = std::min(size, room);
  std::copy(data, data + n, file.data.get() + file.length);
  file.length += static_cast<int32_t>(n);
  if (n < size && m_intake.spool && !Spool(data + n, size - n)) {
    m_unwritten = errno != 0 ? errno : EIO;
    return Take::Refuse;
  }
  ReportPieces(false);
  // The area is full and more came: as one at a time, the area is read full first.
  m_tooLarge = overLimit || (n < size && !file.spool);
  return m_tooLarge ? Take::Refuse : Take::All;
}

bool FileReceiver::Spool(const char* data, size_t size) {
  FetchedFile& file = *m_file;
  if (!file.spool) {
    // The area goes first, then all that comes: the spool holds the whole body.
    file.spool = m_intake.spool();
    if (!file.spool || !file.spool->Write(file.data.get(), static_cast<size_t>(file.length)))
      return false;
  }
  return file.spool->Write(data, size);
}

void FileReceiver::ReportPieces(bool last) {
  // The bar's transfer has ended: the next that reports follows it.
  if (m_bar.owner == nullptr) {
    m_bar.owner = this;
    ShowProgressRange(Control::FileProgress, 0, m_expected > 0 ? m_expected : kActivityHigh);
  }
  const int64_t length = m_file->Size();
  while (length - m_reported >= kReadSize || (last && length > m_reported)) {
    const int32_t piece = static_cast<int32_t>(std::min<int64_t>(kReadSize, length - m_reported));
    m_reported += piece;
    m_progress.Read(piece, m_reported, m_bar.owner == this);
  }
}

void FileReceiver::Ended(const TransferResult& result) {
  // One at a time, a fetch reports the headers of whatever answer it reads, one that ended before
  // its body (or a redirect that led nowhere) included.
  if (m_oneAtATime && !m_answered) {
    const std::optional<std::string>& size = result.sizeHeader;
    ReportAnswerHeaders(size && size->size() <= 254 ? size : std::nullopt, m_bar.owner == this);
  }
  ReportPieces(true);
  // One at a time, a fetch reads on after the end until ten reads in a row have come short, the
  // last piece of the file among them; a file larger than its area ends at once.
  if (m_oneAtATime && !m_tooLarge && result.end != TransferEnd::Refused) {
    const int shortReads = m_file->Size() % kReadSize == 0 ? 0 : 1;
    for (int read = shortReads; read < kShortReadsToEnd; ++read)
      m_progress.Read(0, m_file->Size(), m_bar.owner == this);
  }
  if (m_bar.owner == this)
    ShowProgressPosition(Control::FileProgress, 0);
  ShowProgressPosition(Control::ActivityProgress, 0);
  JudgeAnswer(*m_file, result, m_tooLarge && !m_otherPart);
  if (m_answerEnough && m_file->problem == FetchProblem::TooLarge)
    m_file->problem = FetchProblem::None;
  if (m_resumed && m_file->problem == FetchProblem::None)
    m_file->status = 200;  // the kept part and the rest are the whole file
  if (m_otherPart) {
    m_file->problem = FetchProblem::Broken;
    m_file->problemText = "the server sent another part of the file than the one asked for";
  }
  if (m_unwritten != 0) {
    m_file->problem = FetchProblem::Unwritten;
    m_file->writeError = m_unwritten;
  }
  m_file->wireBytes = result.wireBytes;
  if (m_resumed && !m_file->wireBytes)  // the kept part came in an earlier run
    m_file->wireBytes = m_file->Size() - m_intake.keptSize;
  if (m_intake.spool)
    m_file->digest = m_digest.Text();
}

void FileReceiver::Stopped() {
  // The read that waited ends with what had come of its piece, or empty.
  const int64_t rest = m_file->Size() - m_reported;
  m_reported += rest;
  m_progress.Read(static_cast<int32_t>(rest), m_reported, m_bar.owner == this);
}

std::unique_ptr<FetchedFile> Fetch(std::string url, Transport& transport,
                                   const RedirectRule& mayRedirect,
                                   const std::vector<std::string>& headers, bool unreachableAlone,
                                   TransferResult* failed) {
  auto file = std::make_unique<FetchedFile>();
  // Without a dialog, each fetch is a crawl of its own: an earlier failure does not stop it.
  ClearStopWithoutDialog();
  if (!IsHttpUrl(url))
    url = "http://" + url;
  file->url = url;
  ReportStart(url);
  TransferRequest request = RequestFor(url, true, transport.Polite().RateLimited());
  request.mayRedirect = mayRedirect;
  request.headers = headers;
  if (!WaitForTurn(transport.Polite(), request.server))
    return file;
  FileBar bar;
  FileReceiver receiver(std::move(file), bar, true);
  OneTransfer transfer(transport);
  TransferResult result;
  const bool sent = transfer.Run(request, receiver, result);
  if (StopFlag() != 0 && !transfer.Ended()) {
    if (receiver.File().status != 0)
      receiver.Stopped();
    return receiver.TakeFile();
  }
  if (!sent || result.end == TransferEnd::Failed) {
    if (failed)
      *failed = result;
    if (unreachableAlone && result.unreachable) {
      Log(result.text);
      receiver.File().problem = FetchProblem::Unreachable;
    } else {
      ReportError(result.text, receiver.File());
    }
    return receiver.TakeFile();
  }
  receiver.Ended(result);
  return receiver.TakeFile();
}
