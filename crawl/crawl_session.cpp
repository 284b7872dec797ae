#include "crawl/crawl_session.h"

#include "crawl/link_scanner.h"
#include "crawl/mirror_writer.h"
#include "platform/file_system.h"
#include "support/activity_log.h"
#include "support/int_text.h"

namespace {

std::string NotSavedText(const FetchedFile& file) {
  switch (file.problem) {
    case FetchProblem::HttpError:
      return "Not saved (HTTP " + IntToText(file.status) + "): " + file.url;
    case FetchProblem::Broken:
      return "Not saved (transfer broken: " + file.problemText + "): " + file.url;
    case FetchProblem::TooLarge:
      return "Not saved (larger than 4194304 bytes): " + file.url;
    case FetchProblem::None:
      break;
  }
  return std::string();
}

void EndActions(CrawlDialog& dialog) {
  dialog.EnableControl(Control::DownloadButton, true);
  dialog.EnableControl(Control::StopButton, false);
}

}  // namespace

Obtained FetchFile(std::unique_ptr<LinkStack>& linkStack, const std::string& source,
                   CrawlDialog& dialog) {
  Obtained obtained;
  if (IsHttpUrl(source)) {
    obtained.file = Fetch(source);
    if (dialog.m_stopRequested != 0) {
      obtained.file.reset();
      dialog.Log("Transfert canceled");
      dialog.SetProgressPosition(Control::FileProgress, 0);
      dialog.SetProgressPosition(Control::ActivityProgress, 0);
      EndActions(dialog);
      linkStack.reset();
      dialog.WorkerEnded();
      obtained.cancelled = true;
      return obtained;
    }
    if (obtained.Unusable())
      dialog.Log(NotSavedText(*obtained.file));
    // An answer that came whole is the file, even an empty one.
    return obtained;
  }
  obtained.file = LoadLocal(source);
  if (obtained.file->length <= 0)
    obtained.file.reset();
  return obtained;
}

bool CrawlStep(std::unique_ptr<LinkStack>& linkStack, const std::string& localRoot,
               CrawlDialog& dialog, int32_t& downloadedCount) {
  for (;;) {
    const std::string currentUrl = linkStack->Pop();
    const std::string rel = linkStack->RelativePart(currentUrl);
    const std::string localPath = LocalPathOf(currentUrl, rel, localRoot);

    Obtained doc;
    bool fromNetwork = false;
    // A URL outside the base prefix has no local copy of its own: its path is the root's.
    if (!rel.empty() && PathExists(localPath)) {
      doc = FetchFile(linkStack, localPath, dialog);
      if (doc.file)
        doc.file->url = currentUrl;
    }
    if (!doc.file) {
      doc = FetchFile(linkStack, currentUrl, dialog);
      if (doc.cancelled)
        return false;
      ++downloadedCount;
      fromNetwork = true;
    }
    if (!doc.file) {
      dialog.ShowMessageBox("Can't connect to " + currentUrl);
      return true;
    }
    dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(downloadedCount));
    if (!doc.Unusable()) {
      if (IsHtmlName(localPath))
        LinkScanner::ScanPage(*doc.file, *linkStack);
      if (!rel.empty() && fromNetwork)
        Save(*doc.file, localPath);
    }
    doc.file.reset();
    if (linkStack->IsEmpty() || dialog.m_stopRequested != 0)
      return true;
  }
}

unsigned RunCrawlSession(CrawlDialog* dialog) {
  return RunCrawlSession(dialog, CrawlStart{dialog->m_url.Get(), dialog->m_mirrorDirectory.Get()});
}

unsigned RunCrawlSession(CrawlDialog* dialog, CrawlStart start) {
  struct LogCloser {
    ~LogCloser() { CloseLogFile(); }
  } logCloser;
  dialog->m_stopRequested = 0;
  std::string startUrl = std::move(start.url);
  AppendIndexName(startUrl, startUrl, "");
  auto linkStack = std::make_unique<LinkStack>(startUrl);

  Obtained reachable = FetchFile(linkStack, startUrl, *dialog);
  if (reachable.cancelled)
    return 0;
  if (reachable.file) {
    linkStack->Push(LinkScanner::BaseForLink(*reachable.file, startUrl), startUrl, 1);
    int32_t downloadedCount = 0;
    if (!CrawlStep(linkStack, start.localRoot, *dialog, downloadedCount))
      return 0;
    reachable.file.reset();
  } else {
    dialog->ShowMessageBox("Can't connect to " + startUrl);
  }
  linkStack.reset();
  EndActions(*dialog);
  dialog->WorkerEnded();
  return 0;
}
