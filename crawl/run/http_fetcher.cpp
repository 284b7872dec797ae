#include "crawl/run/http_fetcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "crawl/base/crawl_dialog.h"
#include "platform/ascii.h"
#include "platform/file_system.h"
#include "platform/http_request.h"
#include "support/int_text.h"

namespace {

constexpr int kReadSize = 1024;
constexpr int kShortReadsToEnd = 10;

// A network call failed: its text goes to the log and the crawl is told to stop.
void ReportError(const HttpRequest& request, FetchedFile& file) {
  file.failedCallText = request.ErrorText();
  Log(file.failedCallText);
  StopFlag() = 1;
}

// Opens the request in its four steps; false when one failed or the flag was raised.
bool SendRequest(HttpRequest& request, FetchedFile& file, const RedirectRule& mayRedirect,
                 const std::vector<std::string>& headers, bool unreachableAlone) {
  std::atomic<int>& stop = StopFlag();
  if (!request.OpenSession("Kelvane"))
    ReportError(request, file);
  if (stop != 0)
    return false;
  std::string server;
  std::string objectName;
  CutAddress(file.url, server, objectName);
  Log("Connecting to: " + server);
  if (!request.Connect(StartsWithNoCase(file.url, "https://"), server))
    ReportError(request, file);
  if (stop != 0)
    return false;
  if (g_mainDialog != nullptr)
    g_mainDialog->ShowCurrentItem("Reading ", objectName);
  const std::string referrer = "http://" + server + "/";
  if (!request.OpenRequest("GET", objectName, "HTTP/1.0", referrer, mayRedirect, headers))
    ReportError(request, file);
  if (stop != 0)
    return false;
  if (request.Send(stop) == HttpRequest::SendResult::Failed) {
    if (unreachableAlone && request.Result() && request.Result()->unreachable) {
      Log(request.ErrorText());
      file.problem = FetchProblem::Unreachable;
      return false;
    }
    ReportError(request, file);
  }
  return stop == 0;
}

// The read loop: reads of at most 1,024 bytes until ten short ones in a row. True when the body
// did not fit the file's area.
bool ReadBody(HttpRequest& request, FetchedFile& file) {
  std::atomic<int>& stop = StopFlag();
  ReadProgress progress;
  int shortReads = 0;
  for (;;) {
    if (stop != 0)
      return false;
    int room = FetchedFile::kCapacity - file.length;
    int n = 0;
    if (room > 0) {
      n = request.Read(file.data.get() + file.length, std::min(kReadSize, room), stop);
    } else {
      // The area is full: one byte more tells a file that fits from one that does not.
      char probe = 0;
      if (request.Read(&probe, 1, stop) > 0)
        return true;
    }
    shortReads = n == kReadSize ? 0 : shortReads + 1;
    file.length += n;
    progress.Read(n, file.length);
    if (shortReads >= kShortReadsToEnd)
      return false;
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

void ReadProgress::Read(int32_t bytes, int32_t total, bool fileBar) {
  if (bytes > 0)
    Log(IntToText(bytes) + " bytes read Total=" + IntToText(total));
  if (fileBar)
    ShowProgressPosition(Control::FileProgress, total);
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

std::unique_ptr<FetchedFile> Fetch(std::string url, Transport& transport,
                                   const RedirectRule& mayRedirect,
                                   const std::vector<std::string>& headers, bool unreachableAlone) {
  auto file = std::make_unique<FetchedFile>();
  // Without a dialog, each fetch is a crawl of its own: an earlier failure does not stop it.
  ClearStopWithoutDialog();
  if (!IsHttpUrl(url))
    url = "http://" + url;
  file->url = url;
  Log("Connecting to: " + url);

  HttpRequest request(transport);
  if (!SendRequest(request, *file, mayRedirect, headers, unreachableAlone))
    return file;
  std::string sizeText;
  ReportAnswerHeaders(request.SizeHeader(sizeText) ? std::optional(sizeText) : std::nullopt);
  file->length = 0;
  const bool tooLarge = ReadBody(request, *file);
  if (StopFlag() != 0)
    return file;
  ShowProgressPosition(Control::FileProgress, 0);
  ShowProgressPosition(Control::ActivityProgress, 0);
  TransferResult result = request.Result().value_or(TransferResult{});
  result.status = request.Status();
  const AnswerInfo answer = request.Info();
  file->contentType = answer.contentType;
  file->lastModified = answer.lastModified;
  file->etag = answer.etag;
  file->finalUrl = answer.url;
  JudgeAnswer(*file, result, tooLarge);
  file->wireBytes = result.wireBytes;
  return file;
}
