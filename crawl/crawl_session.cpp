#include "crawl/crawl_session.h"

#include <optional>

#include "crawl/link_scanner.h"
#include "crawl/mirror_writer.h"
#include "platform/file_system.h"
#include "support/activity_log.h"
#include "support/int_text.h"

namespace {

NotSavedReason ReasonOf(FetchProblem problem) {
  switch (problem) {
    case FetchProblem::HttpError:
      return NotSavedReason::HttpStatus;
    case FetchProblem::Broken:
      return NotSavedReason::BrokenTransfer;
    case FetchProblem::TooLarge:
      return NotSavedReason::TooLarge;
    case FetchProblem::None:
      break;
  }
  return NotSavedReason::None;
}

}  // namespace

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

// What a pass made of its file, once it is done with it.
FileOutcome OutcomeOf(const Obtained& doc, const std::string& url, bool fromNetwork,
                      std::optional<SaveResult> saved) {
  FileOutcome outcome;
  outcome.url = url;
  outcome.httpStatus = doc.file->status;
  outcome.bytes = doc.file->length;
  outcome.fromNetwork = fromNetwork;
  if (!fromNetwork) {
    outcome.fate = FileFate::ReadFromCopy;
  } else if (doc.Unusable()) {
    outcome.fate = FileFate::NotSaved;
    outcome.reason = ReasonOf(doc.file->problem);
  } else if (saved == SaveResult::WriteFailed || saved == SaveResult::OutsideSaveTo) {
    outcome.fate = FileFate::NotSaved;
    outcome.reason = saved == SaveResult::WriteFailed ? NotSavedReason::WriteFailed
                                                      : NotSavedReason::OutsideSaveTo;
  }
  return outcome;
}

void EndActions(CrawlDialog& dialog) {
  dialog.EnableControl(Control::DownloadButton, true);
  dialog.EnableControl(Control::StopButton, false);
}

Obtained FetchFile(std::unique_ptr<LinkStack>& linkStack, const std::string& source,
                   CrawlDialog& dialog, bool reachabilityTest) {
  Obtained obtained;
  if (IsHttpUrl(source)) {
    obtained.file = Fetch(source);
    if (dialog.m_stopRequested != 0) {
      const std::string failedCall = obtained.file->failedCallText;
      obtained.file.reset();
      dialog.Log("Transfert canceled");
      dialog.SetProgressPosition(Control::FileProgress, 0);
      dialog.SetProgressPosition(Control::ActivityProgress, 0);
      EndActions(dialog);
      linkStack.reset();
      dialog.CrawlEnded(CrawlOutcome{CrawlEnding::Cancelled, failedCall, false});
      dialog.WorkerEnded();
      obtained.cancelled = true;
      return obtained;
    }
    // The reachability test's answer goes on to a pass, which says what became of it, once.
    if (obtained.Unusable() && !reachabilityTest)
      dialog.Log(NotSavedText(*obtained.file));
    // An answer that came whole is the file, even an empty one.
    return obtained;
  }
  obtained.file = LoadLocal(source);
  if (obtained.file->length <= 0)
    obtained.file.reset();
  return obtained;
}

CrawlOutcome CrawlStep(std::unique_ptr<LinkStack>& linkStack, const CrawlStart& start,
                       CrawlDialog& dialog, int32_t& downloadedCount) {
  for (;;) {
    const std::string currentUrl = linkStack->Pop();
    const std::string rel = linkStack->RelativePart(currentUrl);
    const std::string localPath = LocalPathOf(currentUrl, rel, start.localRoot);

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
        return CrawlOutcome{CrawlEnding::Cancelled, {}, false};
      ++downloadedCount;
      fromNetwork = true;
    }
    if (!doc.file) {
      dialog.ShowMessageBox("Can't connect to " + currentUrl);
      return CrawlOutcome{CrawlEnding::NotObtained, currentUrl, false};
    }
    dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(downloadedCount));
    std::optional<SaveResult> saved;
    if (!doc.Unusable()) {
      if (IsHtmlName(localPath))
        LinkScanner::ScanPage(*doc.file, *linkStack);
      if (!rel.empty() && fromNetwork)
        saved = Save(*doc.file, localPath, start.saveToDirectory);
    }
    // A file outside the base prefix is only read for its links: neither stored nor refused.
    if (!fromNetwork || doc.Unusable() || saved)
      dialog.FileDone(OutcomeOf(doc, currentUrl, fromNetwork, saved));
    doc.file.reset();
    if (linkStack->IsEmpty())
      return CrawlOutcome{CrawlEnding::Completed, {}, false};
    if (dialog.m_stopRequested != 0)
      return CrawlOutcome{CrawlEnding::Stopped, {}, false};
  }
}

unsigned RunCrawlSession(CrawlDialog* dialog) {
  return RunCrawlSession(dialog, CrawlStart{dialog->m_url.Get(), dialog->m_mirrorDirectory.Get(),
                                            dialog->m_saveToDirectory.Get()});
}

unsigned RunCrawlSession(CrawlDialog* dialog, CrawlStart start) {
  return RunCrawlFrame(dialog, start, [&](std::unique_ptr<LinkStack>& linkStack) {
    int32_t downloadedCount = 0;
    return CrawlStep(linkStack, start, *dialog, downloadedCount);
  });
}

unsigned RunCrawlFrame(CrawlDialog* dialog, const CrawlStart& start, const CrawlPasses& passes) {
  struct LogCloser {
    ~LogCloser() { CloseLogFile(); }
  } logCloser;
  dialog->m_stopRequested = 0;
  std::string startUrl = start.url;
  AppendIndexName(startUrl, startUrl, "");
  auto linkStack = std::make_unique<LinkStack>(startUrl);

  CrawlOutcome outcome;
  Obtained reachable = FetchFile(linkStack, startUrl, *dialog, true);
  if (reachable.cancelled)
    return 0;
  if (reachable.file) {
    linkStack->Push(LinkScanner::BaseForLink(*reachable.file, startUrl), startUrl, 1);
    outcome = passes(linkStack);
    if (outcome.ending == CrawlEnding::Cancelled)
      return 0;
    reachable.file.reset();
  } else {
    dialog->ShowMessageBox("Can't connect to " + startUrl);
    outcome = CrawlOutcome{CrawlEnding::NotObtained, startUrl, true};
  }
  linkStack.reset();
  EndActions(*dialog);
  dialog->CrawlEnded(outcome);
  dialog->WorkerEnded();
  return 0;
}
