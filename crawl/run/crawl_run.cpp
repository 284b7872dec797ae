#include "crawl/run/crawl_run.h"

#include "platform/url_resolve.h"

#include <utility>

#include "crawl/read/link_scanner.h"
#include "crawl/rules/mirror_paths.h"
#include "crawl/run/server_turns.h"
#include "platform/ascii.h"
#include "support/int_text.h"

namespace {

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

}  // namespace

CrawlRun::CrawlRun(CrawlDialog& dialog, const CrawlPlan& plan)
    : m_dialog(dialog),
      m_plan(plan),
      m_archive(plan.archive, dialog.m_stopRequested),
      m_transport(NetworkOf(plan)),
      m_rules(RulesOf(plan)),
      m_store(plan.start.saveToDirectory, KeepsRecords(plan, *m_rules)),
      m_upkeep(plan, *m_rules, m_store),
      m_robots(m_transport, plan),
      m_startUrl(plan.start.url),
      m_scope(plan.scope.Empty() ? nullptr : std::make_unique<Scope>(plan.scope)),
      m_counts(dialog),
      m_limits(dialog, plan),
      m_redirects(plan, *m_rules, m_scope.get(), m_robots),
      m_endings({dialog, plan, m_upkeep, m_transport, m_archive, m_counts, m_limits, m_robots}) {
  m_dialog.m_stopRequested = 0;
  if (plan.resume && plan.completePages && !plan.spider && !plan.archive.noCopy)
    m_partials = std::make_unique<PartialFiles>(plan.start.saveToDirectory);
  if (plan.archive.Wanted())
    m_archive.RecordFrom(m_transport);
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
  m_links->SetSpill([this] { return m_store.OpenSpool(); });
  m_basePrefix = m_links->BasePrefix();
  m_upkeep.SetBasePrefix(m_basePrefix);
  m_endings.SetBasePrefix(m_basePrefix);
  if (m_plan.scope.level > 0)
    m_links->SetBreadthFirst();
  if (!m_scope)
    return;
  m_scope->SetRobots(
      [this](const std::string& url, bool mayRead) { return m_robots.Allow(url, mayRead); });
  m_links->SetScope(m_scope.get(), [this](const std::string& url, const std::string& why) {
    m_dialog.Log("Left out (" + why + "): " + url);
  });
}

CrawlRun::~CrawlRun() = default;

bool CrawlRun::StartScripts() {
  if (!m_plan.render)
    return true;
  // A tab a job, at most 8: each is a renderer of its own beside the transfers.
  const int tabs = m_plan.jobs > 0 ? std::min(m_plan.jobs, 8) : 4;
  RenderBudget budget;
  budget.time = std::chrono::seconds(m_plan.renderSeconds);
  m_scripts = std::make_unique<ScriptPages>(m_dialog, m_store, *m_rules, m_links, tabs, budget);
  std::string why;
  if (m_scripts->Start(why))
    return true;
  m_scripts.reset();
  m_dialog.Log(why);
  m_dialog.ShowMessageBox(why);
  return false;
}

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

bool CrawlRun::ReadCopy(Pass& pass) {
  // Checking links, the crawl asks for each: a copy on disk says nothing of the site now.
  if (!pass.stored || m_plan.spider)
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
  TransferResult failed;
  obtained.file = Fetch(source, m_transport, Redirects(0, false), {}, false, &failed);
  if (failed.unreachable)
    m_counts.CountUnreachable(failed, source);
  if (Stopping()) {
    const std::string failedCall = obtained.file->failedCallText;
    obtained.file.reset();
    Cancel(failedCall);
    obtained.cancelled = true;
  }
  // An answer that came whole is the file, even an empty one.
  return obtained;
}

std::string CrawlRun::NamedPath(const Pass& pass) const {
  // Read as the web is read, an address its server sends on to its own "/" names a directory:
  // its page is that directory's index, one file for both.
  const std::string& answered = pass.file->finalUrl;
  if (m_plan.completePages && answered == pass.url + "/")
    return Place(answered).localPath;
  return pass.localPath;
}

Intake CrawlRun::IntakeOf(const Pass* pass, TransferRequest* request) {
  Intake intake;
  intake.most = m_plan.maxFileSize;
  // Read as the web is read, a file may be of any size: what the area cannot hold goes to disk.
  if (m_plan.completePages)
    intake.spool = [this] { return m_store.OpenSpool(); };
  intake.answerOnly = m_plan.spider;
  const std::optional<PartialFiles::Kept> kept =
      m_partials && pass && request && pass->conditions.empty() ? m_partials->Find(pass->url)
                                                                : std::nullopt;
  if (kept) {
    // The rest, on the part kept being what the server has still; else the whole file.
    request->headers.push_back("Range: bytes=" + std::to_string(kept->size) + "-");
    request->headers.push_back("If-Range: " + kept->validator);
    request->compressed = false;
    intake.kept = [this, kept = *kept] { return m_partials->Open(kept); };
    intake.keptSize = kept->size;
  }
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
  if (m_archive.Open() && pass.fromNetwork &&
      KindOf(file.contentType, pass.localPath) == FileKind::Page)
    m_archive.AddPage(file.finalUrl.empty() ? pass.url : file.finalUrl,
                      PageTitle(std::string_view(file.data.get(), file.length)));
  return reading;
}

void CrawlRun::FinishPass(Pass& pass) {
  FetchedFile& file = *pass.file;
  // As wget reads the web, no content is no file: a 204 leaves nothing to store.
  if (pass.fromNetwork && m_plan.recursion.on && file.status == 204 &&
      file.problem == FetchProblem::None)
    pass.stored = false;
  if (pass.fromNetwork && m_plan.maxFileSize > 0 && file.problem == FetchProblem::None &&
      file.Size() > m_plan.maxFileSize) {
    file.problem = FetchProblem::TooLarge;
    file.problemText = std::to_string(m_plan.maxFileSize);
  }
  if (pass.fromNetwork && m_partials) {
    // A part that the server no longer gives the rest of is of no use: the next run starts anew.
    if (file.problem == FetchProblem::None || (file.status == 206 && file.Size() == 0))
      m_partials->Drop(pass.url);
    else if (file.problem == FetchProblem::Broken)
      m_partials->Keep(pass.url, file);
  }
  if (pass.fromNetwork) {
    if (const std::optional<RedirectJudge::LeftOut> leftOut = m_redirects.Refused(pass)) {
      m_counts.ShowDownloaded();
      m_links->LeaveOut(leftOut->target, leftOut->why);
      if (m_scripts)
        m_scripts->Failed(pass.url);
      return pass.file.reset();
    }
  }
  if (pass.fromNetwork && AskedLogin(pass)) {
    m_counts.ShowDownloaded();
    return pass.file.reset();
  }
  const std::optional<FileOutcome> kept = KeepEarlierCopy(pass);
  const bool unusable = !kept && Unusable(*pass.file);
  if (pass.fromNetwork && unusable)
    m_dialog.Log(NotSavedText(*pass.file));
  m_counts.ShowDownloaded();
  if (const std::optional<FileOutcome> outcome = ReadAndStore(pass, kept, unusable))
    m_dialog.FileDone(*outcome);
  if (m_scripts)
    m_scripts->Done(pass);
  pass.file.reset();
}

bool CrawlRun::AskedLogin(Pass& pass) {
  const FetchedFile& file = *pass.file;
  if (file.status != 401 || !file.loginAsked || Stopping())
    return false;
  // The server that asked, where a redirect led, is the one the login is for.
  const std::string& answered = file.finalUrl.empty() ? pass.url : file.finalUrl;
  const std::string server = SchemeAndServer(answered);
  // A login refused where it was asked for is wrong: this server is asked no more, as one whose
  // login was declined, whatever realm it names next.
  if (m_askedAgain.count(pass.url) != 0 && m_loginsDeclined.insert(server).second)
    m_transport.ForgetLogin(server, *file.loginAsked);
  if (m_loginsDeclined.count(server) != 0)
    return false;
  const std::string& realm = *file.loginAsked;
  auto [asked, first] = m_loginsAsked.try_emplace(server + " " + realm, false);
  if (first) {
    const std::optional<CrawlDialog::Login> login = m_dialog.AskLogin(server, realm);
    if (login)
      m_transport.AddLogin({server, login->user, login->password, realm});
    asked->second = login.has_value();
    if (!login)
      m_loginsDeclined.insert(server);
  }
  if (!asked->second)
    return false;
  // The realm's login goes where the realm was met, below the file's directory: Basic at once,
  // Digest when the server asks.
  m_transport.RememberLogin(answered, file.digestAsked ? LoginScheme::Digest : LoginScheme::Basic,
                            realm);
  // An address that led there by a redirect takes it too, but only where the server asks: the
  // redirect is followed within one transfer.
  if (answered != pass.url)
    m_transport.RememberLogin(pass.url, LoginScheme::OnChallenge, realm, true);
  // The file is counted once, when it comes: at any number of jobs alike.
  m_counts.UncountDownload();
  m_askedAgain.insert(pass.url);
  m_links->Again(
      {pass.url, pass.depth, !pass.stored, pass.requisite,
       pass.referrer.empty() ? nullptr : std::make_shared<const std::string>(pass.referrer)});
  return true;
}

std::optional<FileOutcome> CrawlRun::ReadAndStore(Pass& pass,
                                                  const std::optional<FileOutcome>& kept,
                                                  bool unusable) {
  std::optional<SaveResult> saved;
  // With the archive alone, or checking links, what is fetched is read for its links, never
  // stored.
  const bool storing =
      pass.stored && pass.fromNetwork && !kept && !m_plan.archive.noCopy && !m_plan.spider;
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
    m_limits.CountStored(pass.file->Size());
  if (const std::optional<MirrorStore::Refusal> refusal =
          saved == SaveResult::WriteFailed ? m_store.Refused() : std::nullopt)
    m_limits.WriteRefused(refusal->error, refusal->directory);
  if (pass.fromNetwork && pass.file->problem == FetchProblem::Unwritten &&
      RoomOrPermission(pass.file->writeError))
    m_limits.WriteRefused(pass.file->writeError, m_plan.start.saveToDirectory);
  // A file outside the base prefix is only read for its links: neither stored nor refused.
  outcome.localPath = pass.localPath;
  if (!pass.fromNetwork || unusable || saved || kept || recorded)
    return outcome;
  return std::nullopt;
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
