#include "crawl/run/crawl_run.h"

#include "platform/url_resolve.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "crawl/read/link_scanner.h"
#include "crawl/rules/mirror_paths.h"
#include "platform/ascii.h"
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
    case FetchProblem::Unreachable:
      return NotSavedReason::ServerUnreachable;
    case FetchProblem::Unwritten:
      return NotSavedReason::WriteFailed;
    case FetchProblem::None:
      break;
  }
  return NotSavedReason::None;
}

// The plan's network part as the transport reads it, with what the crawl's other rules make of
// it: credentials for the start address's server alone, and pages read as a browser reads them
// decoded as a browser decodes them.
NetworkSettings NetworkOf(const CrawlPlan& plan) {
  NetworkSettings network = plan.network;
  network.decodeAnyCoding = plan.completePages;
  // "scheme://server" of the start address, as requests name their server.
  const std::string start = IsHttpUrl(plan.start.url) ? plan.start.url : "http://" + plan.start.url;
  const size_t scheme = start.find("://");
  network.authServer =
      ToLowerAscii(start.substr(0, scheme + 3)) +
      start.substr(scheme + 3, start.find_first_of("/?#", scheme + 3) - scheme - 3);
  return network;
}

// A start address as a link to it reads: an address without a path gets its "/", as HTTP sends
// it, and nothing else is added.
std::string AsLink(const std::string& url) {
  if (IsHttpUrl(url)) {
    if (std::optional<std::string> resolved = ResolveLink(url, url))
      return *resolved;
  }
  const size_t scheme = url.find("://");
  if (scheme != std::string::npos && url.find('/', scheme + 3) == std::string::npos)
    return url + '/';
  return url;
}

bool Unusable(const FetchedFile& file) {
  return file.problem != FetchProblem::None;
}

}  // namespace

std::string NotSavedWhy(const FetchedFile& file) {
  switch (file.problem) {
    case FetchProblem::HttpError:
      return "HTTP " + IntToText(file.status);
    case FetchProblem::Broken:
      return "transfer broken: " + file.problemText;
    case FetchProblem::TooLarge:
      return "larger than " +
             (file.problemText.empty() ? std::string("4194304") : file.problemText) + " bytes";
    case FetchProblem::RedirectRefused:
      return "redirected outside the crawl: " + file.problemText;
    case FetchProblem::Unreachable:
      return "server unreachable";
    case FetchProblem::Unwritten:
      return "write failed";
    case FetchProblem::None:
      break;
  }
  return std::string();
}

std::string NotSavedText(const FetchedFile& file) {
  const std::string why = NotSavedWhy(file);
  return why.empty() ? why : "Not saved (" + why + "): " + file.url;
}

FileOutcome OutcomeOf(const CrawlRun::Pass& pass, std::optional<SaveResult> saved) {
  FileOutcome outcome;
  outcome.url = pass.url;
  outcome.httpStatus = pass.file->status;
  outcome.bytes = pass.file->wireBytes.value_or(pass.file->Size());
  outcome.fromNetwork = pass.fromNetwork;
  outcome.referrer = pass.referrer;
  if (!pass.fromNetwork) {
    outcome.fate = FileFate::ReadFromCopy;
  } else if (Unusable(*pass.file)) {
    outcome.fate = FileFate::NotSaved;
    outcome.reason = ReasonOf(pass.file->problem);
    outcome.why = NotSavedWhy(*pass.file);
  } else if (saved == SaveResult::WriteFailed || saved == SaveResult::OutsideSaveTo) {
    outcome.fate = FileFate::NotSaved;
    const bool failed = saved == SaveResult::WriteFailed;
    outcome.reason = failed ? NotSavedReason::WriteFailed : NotSavedReason::OutsideSaveTo;
    outcome.why = failed ? "write failed" : "outside the save-to directory";
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
      m_transport(NetworkOf(plan)),
      m_rules(RulesOf(plan)),
      m_store(plan.start.saveToDirectory, KeepsRecords(plan, *m_rules)),
      m_upkeep(plan, *m_rules, m_store),
      m_robots(m_transport, plan),
      m_startUrl(plan.start.url) {
  m_dialog.m_stopRequested = 0;
  if (plan.archive.Wanted()) {
    m_archive = WarcWriter::Open(plan.archive, m_archiveWhy);
    m_transport.Record(m_archive.get());
    // An archive that can no longer be written stops the crawl, as "Stop" does: what it would
    // go on to fetch would be kept nowhere, or kept without its record.
    if (m_archive) {
      m_archive->OnFailure([this] {
        int running = 0;
        m_dialog.m_stopRequested.compare_exchange_strong(running, 1);
      });
    }
  }
  // Read as the web is read, a copy keeps its files' times.
  m_store.SetFileTimes(plan.completePages);
  m_store.SetAnySize(plan.completePages);
  // Read as the web is read, the start address is asked for as typed: only an address without
  // a path gets its "/", as HTTP sends it. Otherwise one that names a directory gets its "/".
  // It is read as a link is: its fragment cut off, its dot segments taken out.
  if (!plan.completePages)
    AppendIndexName(m_startUrl, m_startUrl, "");
  else
    m_startUrl = AsLink(m_startUrl);
  m_links = std::make_unique<LinkStack>(m_startUrl);
  m_basePrefix = m_links->BasePrefix();
  m_upkeep.SetBasePrefix(m_basePrefix);
  if (m_plan.scope.level > 0)
    m_links->SetBreadthFirst();
  if (m_plan.scope.Empty())
    return;
  m_scope = std::make_unique<Scope>(m_plan.scope);
  m_scope->SetRobots(
      [this](const std::string& url, bool mayRead) { return m_robots.Allow(url, mayRead); });
  m_links->SetScope(m_scope.get(), [this](const std::string& url, const std::string& why) {
    m_dialog.Log("Left out (" + why + "): " + url);
  });
}

CrawlRun::~CrawlRun() = default;

CrawlRun::Pass CrawlRun::Place(std::string url) const {
  CrawlRules::Placement placement = m_rules->Place(m_basePrefix, url);
  Pass pass;
  pass.url = std::move(url);
  pass.localPath = std::move(placement.localPath);
  pass.stored = placement.stored;
  return pass;
}

CrawlRun::Pass CrawlRun::TakeLink() {
  LinkStack::Entry entry = m_links->PopEntry();
  Pass pass = Place(std::move(entry.url));
  pass.depth = entry.depth;
  pass.requisite = entry.requisite;
  if (entry.referrer)
    pass.referrer = *entry.referrer;
  pass.untestedStart = std::exchange(m_startUntested, false);
  if (entry.readOnly)
    pass.stored = false;
  return pass;
}

std::optional<int> CrawlRun::NextDepth() const {
  if (m_plan.scope.level <= 0 || !LinksPending())
    return std::nullopt;
  return m_links->NextDepth();
}

RedirectRule CrawlRun::Redirects(int depth, bool requisite) const {
  RedirectRule reading = m_rules->Redirects(requisite);
  if (!m_scope)
    return reading;
  return [reading, scope = m_scope.get(), depth, requisite](const std::string& target) {
    return (!reading || reading(target)) &&
           scope->Judge(target, depth, requisite, true).verdict != Scope::Verdict::LeftOut;
  };
}

void CrawlRun::ReportLeftOut() {
  if (!m_links)
    return;
  for (const std::string& url : m_links->LeftOut()) {
    FileOutcome outcome;
    outcome.url = url;
    outcome.fate = FileFate::LeftOut;
    m_dialog.FileDone(outcome);
  }
}

bool CrawlRun::ReadCopy(Pass& pass) {
  if (!pass.stored)
    return false;
  std::optional<std::string> copy = m_upkeep.EarlierCopy(pass.url, pass.localPath);
  if (!copy)
    return false;
  // The copy is asked for again, only if it changed, by the address it was stored for: another
  // that shares its name reads it, as it did when it was stored, so that no two answers take
  // turns in one file.
  // A package replays on its own: the file of an earlier copy is asked for whole all the same,
  // as an update asks for it, and so recorded.
  const bool packaged = !m_plan.archive.wacz.empty();
  const std::optional<MirrorStore::Record> record =
      m_plan.update || packaged ? m_store.RecordOf(*copy) : std::nullopt;
  const bool another =
      record && !record->asked.empty() && record->asked != pass.url && record->url != pass.url;
  if ((m_plan.update || packaged) && !another) {
    if (m_store.IsRegularFile(*copy)) {
      pass.earlierCopy = *copy;
      if (!packaged)
        pass.conditions = m_upkeep.Conditions(*copy);
    }
    return false;
  }
  pass.file = m_upkeep.ReadEarlierCopy(*copy);
  if (!pass.file)
    return false;
  pass.localPath = *copy;
  // The page's links resolve against its address, not against the local path.
  pass.file->url = pass.url;
  return true;
}

std::optional<FileOutcome> CrawlRun::KeepEarlierCopy(Pass& pass) {
  if (!pass.fromNetwork || pass.earlierCopy.empty())
    return std::nullopt;
  FetchedFile& answer = *pass.file;
  FileOutcome outcome = OutcomeOf(pass, std::nullopt);
  // A server that sends the same bytes again, conditions or not: the copy is unchanged.
  const bool same =
      answer.problem == FetchProblem::None && m_upkeep.SameAsCopy(answer, pass.earlierCopy);
  if ((answer.problem == FetchProblem::HttpError && answer.status == 304) || same) {
    outcome.fate = FileFate::Unchanged;
    outcome.reason = NotSavedReason::None;
  } else if (answer.problem == FetchProblem::HttpError &&
             (answer.status == 404 || answer.status == 410)) {
    m_dialog.Log(NotSavedText(answer));
    outcome.fate = FileFate::Gone;
    outcome.reason = NotSavedReason::None;
  } else if (answer.problem != FetchProblem::None) {
    m_dialog.Log(NotSavedText(answer));
  } else {
    return std::nullopt;  // the new answer replaces the copy
  }
  // The copy stands for the file: it is read for links, as if this crawl had found it so.
  if (std::unique_ptr<FetchedFile> copy = m_upkeep.ReadEarlierCopy(pass.earlierCopy)) {
    copy->url = pass.url;
    pass.file = std::move(copy);
    pass.localPath = pass.earlierCopy;
  }
  return outcome;
}

CrawlRun::Obtained CrawlRun::FetchFile(const std::string& source) {
  Obtained obtained;
  if (!IsHttpUrl(source)) {
    obtained.file = LoadLocal(source);
    if (obtained.file->length <= 0)
      obtained.file.reset();
    return obtained;
  }
  obtained.file = Fetch(source, m_transport, Redirects(0, false));
  if (Stopping()) {
    const std::string failedCall = obtained.file->failedCallText;
    obtained.file.reset();
    Cancel(failedCall);
    obtained.cancelled = true;
  }
  // An answer that came whole is the file, even an empty one.
  return obtained;
}

bool CrawlRun::RetryAfterRobots(Pass& pass, const std::string& refusedTarget) {
  // Only a redirect that every other rule took, refused for want of its server's robots.txt:
  // that file is read now, once, and the pass is asked for again. A chain may need a file at
  // each step; a server that sends each request somewhere new gets a few tries, not more.
  constexpr int kMostTries = 5;
  if (!m_scope || !m_plan.scope.robots || !IsHttpUrl(refusedTarget) ||
      pass.robotsRetries >= kMostTries)
    return false;
  const std::string origin = ServerOrigin(refusedTarget);
  if (!m_robots.Read(origin)) {
    if (!m_robots.Wanted(origin))
      return false;  // another rule refused it first
    m_robots.Allow(refusedTarget, true);
  } else if (!Redirects(pass.depth, pass.requisite)(refusedTarget)) {
    return false;  // the file was read meanwhile, for another pass, and refuses it all the same
  }
  ++pass.robotsRetries;
  return true;
}

bool CrawlRun::JudgeRedirect(Pass& pass) {
  FetchedFile& file = *pass.file;
  // The start address is always fetched: where it is sent is no rule's to leave out.
  if (pass.depth == 0)
    return false;
  if (file.problem == FetchProblem::RedirectRefused) {
    // Refused by a rule of the scope where the reading rules would follow: that rule leaves
    // the target out, as it would a link to it; nothing of this pass is stored or refused.
    const RedirectRule reading = m_rules->Redirects(pass.requisite);
    if (reading && !reading(file.problemText)) {
      // Another server is the scope's rule only once servers are spanned at all.
      if (!m_plan.scope.spanHosts)
        return false;
      ShowDownloaded();
      m_links->LeaveOut(file.problemText, "another server");
      return true;
    }
    const Scope::Judgement judgement =
        m_scope->Judge(file.problemText, pass.depth, pass.requisite, true);
    if (judgement.verdict != Scope::Verdict::LeftOut)
      return false;
    ShowDownloaded();
    m_links->LeaveOut(file.problemText, judgement.why);
    return true;
  }
  // A page followed to a name the scope reads for its links only is not stored either.
  if (pass.stored && !file.finalUrl.empty() && file.finalUrl != pass.url &&
      m_scope->Judge(file.finalUrl, pass.depth, pass.requisite, true).verdict ==
          Scope::Verdict::ReadOnly)
    pass.stored = false;
  return false;
}

std::string CrawlRun::NamedPath(const Pass& pass) const {
  // Read as the web is read, an address its server sends on to its own "/" names a directory:
  // its page is that directory's index, one file for both.
  const std::string& answered = pass.file->finalUrl;
  if (m_plan.completePages && answered == pass.url + "/")
    return Place(answered).localPath;
  return pass.localPath;
}

Intake CrawlRun::IntakeOf() {
  Intake intake;
  intake.most = m_plan.maxFileSize;
  // Read as the web is read, a file may be of any size: what the area cannot hold goes to disk.
  if (m_plan.completePages)
    intake.spool = [this] { return m_store.OpenSpool(); };
  return intake;
}

FileReading CrawlRun::ReadForLinks(Pass& pass) {
  FetchedFile& file = *pass.file;
  FileReading reading;
  m_links->SetPageDepth(pass.depth);
  m_links->SetPage(file.finalUrl.empty() ? pass.url : file.finalUrl);
  m_robots.NewPage();
  if (file.spool && KindOf(file.contentType, pass.localPath) != FileKind::Other &&
      !file.ReadSpooled(FetchedFile::kLargestRead)) {
    file.length = 0;  // its first part alone would be read as if it were all
    m_dialog.Log("Not read for links (larger than " + std::to_string(FetchedFile::kLargestRead) +
                 " bytes): " + pass.url);
  }
  // Kept for the conversion at the end, which then need not read the file again.
  m_rules->Read(file, pass.localPath, *m_links, m_plan.convertLinks ? &reading : nullptr);
  if (m_archive && pass.fromNetwork && KindOf(file.contentType, pass.localPath) == FileKind::Page)
    m_archive->AddPage(file.finalUrl.empty() ? pass.url : file.finalUrl,
                       PageTitle(std::string_view(file.data.get(), file.length)));
  return reading;
}

void CrawlRun::CountTowardsQuota(std::int64_t bytes) {
  if (m_plan.quota <= 0)
    return;
  m_storedBytes += bytes;
  if (!m_quotaReached && m_storedBytes >= m_plan.quota) {
    m_quotaReached = true;
    m_dialog.Log("Quota of " + std::to_string(m_plan.quota) +
                 " bytes reached: no more files are fetched");
  }
}

void CrawlRun::FinishPass(Pass& pass) {
  FetchedFile& file = *pass.file;
  if (pass.fromNetwork && m_plan.maxFileSize > 0 && file.problem == FetchProblem::None &&
      file.Size() > m_plan.maxFileSize) {
    file.problem = FetchProblem::TooLarge;
    file.problemText = std::to_string(m_plan.maxFileSize);
  }
  if (pass.fromNetwork && m_scope && JudgeRedirect(pass))
    return pass.file.reset();
  const std::optional<FileOutcome> kept = KeepEarlierCopy(pass);
  const bool unusable = !kept && Unusable(*pass.file);
  if (pass.fromNetwork && unusable)
    m_dialog.Log(NotSavedText(*pass.file));
  ShowDownloaded();
  std::optional<SaveResult> saved;
  // With the archive alone, what is fetched is read for its links and recorded, never stored.
  const bool storing = pass.stored && pass.fromNetwork && !kept && !m_plan.archive.noCopy;
  // A copy kept in place of the answer is read, unless it could not be: then nothing is.
  const bool readable = !unusable && (!kept || pass.localPath == pass.earlierCopy);
  FileReading reading;
  if (readable) {
    if (storing)
      pass.localPath = m_upkeep.StoredName(pass.url, NamedPath(pass), *pass.file);
    reading = ReadForLinks(pass);
    if (storing)
      saved = m_store.Save(*pass.file, pass.localPath);
  }
  if (readable && pass.stored && (saved == SaveResult::Saved || !storing))
    m_upkeep.Touched(pass.localPath, pass.file->finalUrl.empty() ? pass.url : pass.file->finalUrl,
                     std::move(reading));
  FileOutcome outcome = kept ? *kept : OutcomeOf(pass, saved);
  if (saved == SaveResult::Saved && !pass.earlierCopy.empty())
    outcome.fate = FileFate::Updated;
  const bool recorded = readable && pass.stored && pass.fromNetwork && !kept && !storing;
  if (recorded)
    outcome.fate = FileFate::Recorded;
  if (saved == SaveResult::Saved)
    CountTowardsQuota(pass.file->Size());
  if (const std::optional<MirrorStore::Refusal> refusal =
          saved == SaveResult::WriteFailed ? m_store.Refused() : std::nullopt)
    WriteRefused(refusal->error, refusal->directory);
  if (pass.fromNetwork && pass.file->problem == FetchProblem::Unwritten &&
      RoomOrPermission(pass.file->writeError))
    WriteRefused(pass.file->writeError, m_plan.start.saveToDirectory);
  // A file outside the base prefix is only read for its links: neither stored nor refused.
  outcome.localPath = pass.localPath;
  if (!pass.fromNetwork || unusable || saved || kept || recorded)
    m_dialog.FileDone(outcome);
  pass.file.reset();
}

void CrawlRun::WriteRefused(int error, const std::string& directory) {
  // A full or read-only disk, or a save-to directory that takes nothing, refuses every file to
  // come; a directory within the copy refuses its own files alone.
  m_writeStop = m_writeStop || error == ENOSPC || error == EDQUOT || error == EROFS ||
                directory == m_plan.start.saveToDirectory;
  if (!m_writeRefusal.empty())
    return;
  m_writeRefusal = directory + ": " + std::strerror(error);
  m_dialog.Log("Cannot write in " + m_writeRefusal);
}

void CrawlRun::ConvertLinks(CrawlOutcome& outcome) {
  if (!m_plan.convertLinks)
    return;
  // The stop that ended the crawl is spent; another, asked already or while files convert,
  // leaves the rest to the next run, as does the end of the time a stopped crawl is given.
  int once = 1;
  const bool stopped = m_dialog.m_stopRequested.compare_exchange_strong(once, 0);
  if (!stopped && once != 0) {
    outcome.conversionStopped = true;
    return;
  }
  const CopyUpkeep::Converted converted = m_upkeep.ConvertLinks(
      m_basePrefix, m_dialog.m_stopRequested,
      stopped ? std::optional(std::chrono::steady_clock::now() + kConversionAfterStop)
              : std::nullopt);
  outcome.converted = converted.files;
  outcome.conversionStopped = converted.stopped;
  outcome.notConverted = converted.notConverted;
  if (converted.refusal != 0) {
    WriteRefused(converted.refusal, converted.refusedIn);
    outcome.writeRefusal = m_writeRefusal;
  }
}

CrawlOutcome CrawlRun::Cancel(const std::string& failedCall) {
  m_dialog.Log("Transfert canceled");
  m_dialog.SetProgressPosition(Control::FileProgress, 0);
  m_dialog.SetProgressPosition(Control::ActivityProgress, 0);
  // Stop stays at hand while the links of what was stored are converted.
  if (!m_plan.convertLinks)
    EndActions(m_dialog);
  ReportLeftOut();
  CrawlOutcome outcome = Counted(CrawlOutcome{CrawlEnding::Cancelled, failedCall, false});
  outcome.writeRefusal = m_writeRefusal;
  m_links.reset();
  if (m_plan.convertLinks) {
    ConvertLinks(outcome);
    EndActions(m_dialog);
  }
  outcome.cookiesNotSaved = !SaveCookies();
  CloseArchive(outcome);
  m_dialog.CrawlEnded(outcome);
  m_dialog.WorkerEnded();
  return outcome;
}

void CrawlRun::PushStart(const FetchedFile& reachable) {
  m_links->Push(LinkScanner::BaseForLink(reachable, m_startUrl), m_startUrl, 1);
}

void CrawlRun::PushStartsUntested() {
  m_startUntested = true;
  // The last pushed is taken first: the starts are taken in the order they were given.
  for (auto start = m_plan.moreStarts.rbegin(); start != m_plan.moreStarts.rend(); ++start)
    m_links->Push(std::string(), AsLink(*start), 1);
  m_links->Push(std::string(), m_startUrl, 1);
}

void CrawlRun::End(CrawlOutcome outcome) {
  ReportLeftOut();
  if (outcome.ending == CrawlEnding::QuotaReached)
    outcome.linksLeft += m_links->PendingCount();
  outcome = Counted(outcome);
  outcome.writeRefusal = m_writeRefusal;
  m_links.reset();
  // However the crawl ended, its copy reads from disk.
  ConvertLinks(outcome);
  EndActions(m_dialog);
  outcome.cookiesNotSaved = !SaveCookies();
  CloseArchive(outcome);
  m_dialog.CrawlEnded(outcome);
  m_dialog.WorkerEnded();
}

void CrawlRun::CloseArchive(CrawlOutcome& outcome) {
  if (!m_plan.archive.Wanted())
    return;
  if (m_archive) {
    m_transport.Record(nullptr);
    m_archive->Close(m_archiveWhy);
    outcome.archiveRecords = m_archive->Records();
  }
  outcome.archiveFailure = m_archiveWhy;
  if (!m_archiveWhy.empty())
    m_dialog.Log("Archive not written: " + m_archiveWhy);
}

void CrawlRun::ShowDownloaded() {
  m_downloadedShown = m_downloadedCount;
  m_dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(m_downloadedShown));
}

CrawlOutcome CrawlRun::Counted(CrawlOutcome outcome) const {
  // Destroying the link stack pops what is pending, so the queue shows 0 at every end.
  outcome.accepted = m_links ? m_links->AcceptedCount() : 0;
  outcome.downloaded = m_downloadedShown;
  outcome.slowDowns = m_slowDowns + m_robots.Pauses();
  return outcome;
}

bool CrawlRun::SaveCookies() {
  if (m_transport.SaveCookies())
    return true;
  m_dialog.Log("Cookies not saved: " + m_plan.network.saveCookies);
  return false;
}
