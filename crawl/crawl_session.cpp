#include "crawl/crawl_session.h"

#include "crawl/link_scanner.h"
#include "crawl/mirror_writer.h"
#include "crawl/slot_scheduler.h"
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
    case FetchProblem::RedirectRefused:
      return NotSavedReason::RedirectRefused;
    case FetchProblem::None:
      break;
  }
  return NotSavedReason::None;
}

TransportOptions OptionsOf(const NetworkSettings& network) {
  TransportOptions options;
  options.connectTimeoutMs = network.connectTimeoutMs;
  options.stallTimeoutMs = network.stallTimeoutMs;
  options.caFile = network.caFile;
  options.waitMs = network.waitMs;
  options.maxBytesPerSecond = network.maxBytesPerSecond;
  options.resolve = network.resolve;
  return options;
}

bool Unusable(const FetchedFile& file) {
  return file.problem != FetchProblem::None;
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
    case FetchProblem::RedirectRefused:
      return "Not saved (redirected outside the crawl: " + file.problemText + "): " + file.url;
    case FetchProblem::None:
      break;
  }
  return std::string();
}

FileOutcome OutcomeOf(const CrawlRun::Pass& pass, std::optional<SaveResult> saved) {
  FileOutcome outcome;
  outcome.url = pass.url;
  outcome.httpStatus = pass.file->status;
  outcome.bytes = pass.file->length;
  outcome.fromNetwork = pass.fromNetwork;
  if (!pass.fromNetwork) {
    outcome.fate = FileFate::ReadFromCopy;
  } else if (Unusable(*pass.file)) {
    outcome.fate = FileFate::NotSaved;
    outcome.reason = ReasonOf(pass.file->problem);
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

CrawlRun::CrawlRun(CrawlDialog& dialog, const CrawlPlan& plan)
    : m_dialog(dialog),
      m_plan(plan),
      m_transport(OptionsOf(plan.network)),
      m_rules(RulesOf(plan)),
      m_store(plan.start.saveToDirectory, m_rules->KeepsRecords()) {}

CrawlRun::~CrawlRun() = default;

CrawlRun::Pass CrawlRun::Place(std::string url) const {
  CrawlRules::Placement placement = m_rules->Place(*m_links, url);
  Pass pass;
  pass.url = std::move(url);
  pass.localPath = std::move(placement.localPath);
  pass.stored = placement.stored;
  return pass;
}

CrawlRun::Pass CrawlRun::TakeLink() {
  return Place(m_links->Pop());
}

bool CrawlRun::ReadCopy(Pass& pass) {
  if (!pass.stored || !m_store.Exists(pass.localPath))
    return false;
  pass.file = m_store.ReadCopy(pass.localPath);
  if (!pass.file)
    return false;
  // The page's links resolve against its address, not against the local path.
  pass.file->url = pass.url;
  return true;
}

CrawlRun::Obtained CrawlRun::FetchFile(const std::string& source) {
  Obtained obtained;
  if (!IsHttpUrl(source)) {
    obtained.file = LoadLocal(source);
    if (obtained.file->length <= 0)
      obtained.file.reset();
    return obtained;
  }
  obtained.file = Fetch(source, m_transport, m_rules->Redirects());
  if (Stopping()) {
    const std::string failedCall = obtained.file->failedCallText;
    obtained.file.reset();
    Cancel(failedCall);
    obtained.cancelled = true;
  }
  // An answer that came whole is the file, even an empty one.
  return obtained;
}

void CrawlRun::FinishPass(Pass& pass) {
  const bool unusable = Unusable(*pass.file);
  if (pass.fromNetwork && unusable)
    m_dialog.Log(NotSavedText(*pass.file));
  m_dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(m_downloadedCount));
  std::optional<SaveResult> saved;
  if (!unusable) {
    m_rules->Read(*pass.file, pass.localPath, *m_links);
    if (pass.stored && pass.fromNetwork)
      saved = m_store.Save(*pass.file, pass.localPath);
  }
  // A file outside the base prefix is only read for its links: neither stored nor refused.
  if (!pass.fromNetwork || unusable || saved)
    m_dialog.FileDone(OutcomeOf(pass, saved));
  pass.file.reset();
}

CrawlOutcome CrawlRun::Cancel(const std::string& failedCall) {
  m_dialog.Log("Transfert canceled");
  m_dialog.SetProgressPosition(Control::FileProgress, 0);
  m_dialog.SetProgressPosition(Control::ActivityProgress, 0);
  EndActions(m_dialog);
  m_links.reset();
  CrawlOutcome outcome{CrawlEnding::Cancelled, failedCall, false};
  m_dialog.CrawlEnded(outcome);
  m_dialog.WorkerEnded();
  return outcome;
}

CrawlOutcome CrawlRun::Passes() {
  return m_plan.jobs > 1 ? RunSlots(*this, m_plan.jobs) : CrawlStep(*this);
}

void CrawlRun::Run() {
  struct LogCloser {
    ~LogCloser() { CloseLogFile(); }
  } logCloser;
  m_dialog.m_stopRequested = 0;
  std::string startUrl = m_plan.start.url;
  AppendIndexName(startUrl, startUrl, "");
  m_links = std::make_unique<LinkStack>(startUrl);

  CrawlOutcome outcome;
  Obtained reachable = FetchFile(startUrl);
  if (reachable.cancelled)
    return;
  if (reachable.file) {
    m_links->Push(LinkScanner::BaseForLink(*reachable.file, startUrl), startUrl, 1);
    outcome = Passes();
    if (outcome.ending == CrawlEnding::Cancelled)
      return;
    reachable.file.reset();
  } else {
    m_dialog.ShowMessageBox("Can't connect to " + startUrl);
    outcome = CrawlOutcome{CrawlEnding::NotObtained, startUrl, true};
  }
  m_links.reset();
  EndActions(m_dialog);
  m_dialog.CrawlEnded(outcome);
  m_dialog.WorkerEnded();
}

CrawlOutcome CrawlStep(CrawlRun& run) {
  for (;;) {
    CrawlRun::Pass pass = run.TakeLink();
    if (!run.ReadCopy(pass)) {
      CrawlRun::Obtained doc = run.FetchFile(pass.url);
      if (doc.cancelled)
        return CrawlOutcome{CrawlEnding::Cancelled, {}, false};
      run.CountDownload();
      pass.fromNetwork = true;
      pass.file = std::move(doc.file);
    }
    if (!pass.file) {
      run.Dialog().ShowMessageBox("Can't connect to " + pass.url);
      return CrawlOutcome{CrawlEnding::NotObtained, pass.url, false};
    }
    run.FinishPass(pass);
    if (!run.LinksPending())
      return CrawlOutcome{CrawlEnding::Completed, {}, false};
    if (run.Stopping())
      return CrawlOutcome{CrawlEnding::Stopped, {}, false};
  }
}

CrawlPlan PlanFromDialog(CrawlDialog& dialog) {
  CrawlPlan plan;
  plan.start = CrawlStart{dialog.m_url.Get(), dialog.m_mirrorDirectory.Get(),
                          dialog.m_saveToDirectory.Get()};
  return plan;
}

unsigned RunCrawl(CrawlDialog* dialog, const CrawlPlan& plan) {
  CrawlRun(*dialog, plan).Run();
  return 0;
}

unsigned RunCrawlSession(CrawlDialog* dialog) {
  return RunCrawl(dialog, PlanFromDialog(*dialog));
}
