#include "crawl/http_fetcher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "crawl/crawl_dialog.h"
#include "crawl/text_ops.h"
#include "platform/http_client.h"
#include "support/int_text.h"

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

void CutAddress(const std::string& url, std::string& server, std::string& objectName) {
  size_t slashes[3] = {0, 0, 0};
  int found = 0;
  for (size_t i = 0; i < url.size() && found < 3; ++i) {
    if (url[i] == '/')
      slashes[found++] = i;
  }
  if (found == 3) {
    server = url.substr(slashes[1] + 1, slashes[2] - slashes[1] - 1);
    objectName = url.substr(slashes[2] + 1);
  } else {
    server = found == 0 ? url : url.substr(slashes[found - 1] + 1);
    objectName.clear();
  }
}

namespace {

constexpr int kReadSize = 1024;
constexpr int kActivityHigh = 16384;
constexpr int kShortReadsToEnd = 10;

std::atomic<int> g_noDialogStop{0};

std::atomic<int>& StopFlag() {
  return g_mainDialog != nullptr ? g_mainDialog->m_stopRequested : g_noDialogStop;
}

// A network call failed: its text goes to the log and the crawl is told to stop.
void ReportError(const HttpRequest& request, FetchedFile& file) {
  file.failedCallText = request.ErrorText();
  Log(file.failedCallText);
  StopFlag() = 1;
}

}  // namespace

void ReportAnswerHeaders(const std::optional<std::string>& sizeHeader) {
  Log("Requesting file size...");
  if (sizeHeader) {
    int32_t size = TextToInt(*sizeHeader);
    Log("File size info = " + IntToText(size));
    ShowProgressRange(Control::FileProgress, 0, size);
  } else {
    Log("Unknown File size");
    ShowProgressRange(Control::FileProgress, 0, kActivityHigh);
  }
  ShowProgressRange(Control::ActivityProgress, 0, kActivityHigh);
  Log("Reading remote file...");
}

std::unique_ptr<FetchedFile> Fetch(std::string url) {
  auto file = std::make_unique<FetchedFile>();
  // Without a dialog, each fetch is a crawl of its own: an earlier failure does not stop it.
  if (g_mainDialog == nullptr)
    g_noDialogStop = 0;
  std::atomic<int>& stop = StopFlag();
  if (!IsHttpUrl(url))
    url = "http://" + url;
  file->url = url;
  Log("Connecting to: " + url);

  HttpRequest request;
  if (!request.OpenSession("Kelvane"))
    ReportError(request, *file);
  if (stop != 0)
    return file;

  std::string server;
  std::string objectName;
  CutAddress(url, server, objectName);
  Log("Connecting to: " + server);
  if (!request.Connect(StartsWithNoCase(url, "https://"), server))
    ReportError(request, *file);
  if (stop != 0)
    return file;

  if (g_mainDialog != nullptr)
    g_mainDialog->ShowCurrentItem("Reading ", objectName);
  const std::string referrer = "http://" + server + "/";
  if (!request.OpenRequest("GET", objectName, "HTTP/1.0", referrer))
    ReportError(request, *file);
  if (stop != 0)
    return file;

  if (request.Send(stop) == HttpRequest::SendResult::Failed)
    ReportError(request, *file);
  if (stop != 0)
    return file;

  std::string sizeText;
  ReportAnswerHeaders(request.SizeHeader(sizeText) ? std::optional(sizeText) : std::nullopt);
  file->length = 0;
  int shortReads = 0;
  int activity = 0;
  int direction = 1;
  bool tooLarge = false;
  for (;;) {
    if (stop != 0)
      return file;
    int room = FetchedFile::kCapacity - file->length;
    int n = 0;
    if (room > 0) {
      n = request.Read(file->data.get() + file->length, std::min(kReadSize, room), stop);
    } else {
      // The area is full: one byte more tells a file that fits from one that does not.
      char probe = 0;
      if (request.Read(&probe, 1, stop) > 0) {
        tooLarge = true;
        break;
      }
    }
    shortReads = n == kReadSize ? 0 : shortReads + 1;
    file->length += n;
    if (n > 0)
      Log(IntToText(n) + " bytes read Total=" + IntToText(file->length));
    ShowProgressPosition(Control::FileProgress, file->length);
    if (activity > kActivityHigh || activity < 0)
      direction = -direction;
    activity += direction * n;
    ShowProgressPosition(Control::ActivityProgress, activity);
    if (shortReads >= kShortReadsToEnd)
      break;
  }
  ShowProgressPosition(Control::FileProgress, 0);
  ShowProgressPosition(Control::ActivityProgress, 0);

  file->status = request.Status();
  if (tooLarge) {
    file->problem = FetchProblem::TooLarge;
  } else if (request.Broken()) {
    file->problem = FetchProblem::Broken;
    file->problemText = request.ErrorText();
  } else if (file->status >= 300) {
    file->problem = FetchProblem::HttpError;
  }
  return file;
}
