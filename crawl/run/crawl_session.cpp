#include "crawl/run/crawl_session.h"

#include "crawl/run/crawl.h"

#include "crawl/read/link_scanner.h"
#include "crawl/rules/mirror_paths.h"
#include "crawl/run/slot_scheduler.h"
#include "platform/ascii.h"
#include "platform/http_request.h"
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
    case FetchProblem::Unreachable:
      return NotSavedReason::ServerUnreachable;
    case FetchProblem::None:
      break;
  }
  return NotSavedReason::None;
}

// "scheme://server" of an address, the scheme in lower case: http and https of one host are
// two servers to reach.
std::string OriginOf(const std::string& url) {
  std::string server;
  std::string objectName;
  CutAddress(IsHttpUrl(url) ? url : "http://" + url, server, objectName);
  return (StartsWithNoCase(url, "https://") ? "https://" : "http://") + server;
}

TransportOptions OptionsOf(const CrawlPlan& plan) {
  const NetworkSettings& network = plan.network;
  TransportOptions options;
  options.connectTimeoutMs = network.connectTimeoutMs;
  options.stallTimeoutMs = network.stallTimeoutMs;
  options.caFile = network.caFile;
  options.waitMs = network.waitMs;
  options.maxBytesPerSecond = network.maxBytesPerSecond;
  options.resolve = network.resolve;
  options.userAgent = network.userAgent;
  options.headers = network.headers;
  options.loadCookies = network.loadCookies;
  options.saveCookies = network.saveCookies;
  options.user = network.user;
  options.password = network.password;
  options.netrc = network.netrc;
  // Pages read as a browser reads them are decoded as a browser decodes them.
  options.decodeAnyCoding = plan.completePages;
  // "scheme://server" of the start address, as requests name their server.
  const std::string start = IsHttpUrl(plan.start.url) ? plan.start.url : "http://" + plan.start.url;
  const size_t scheme = start.find("://");
  options.authServer =
      ToLowerAscii(start.substr(0, scheme + 3)) +
      start.substr(scheme + 3, start.find_first_of("/?#", scheme + 3) - scheme - 3);
  return options;
}

bool Unusable(const FetchedFile& file) {
  return file.problem != FetchProblem::None;
}

// A server's robots.txt: its rules on 2xx, everything allowed on 4xx, nothing on anything else
// (5xx, no answer), as crawlers are asked to read it.
RobotsRules ReadRobots(Transport& transport, const std::string& origin, const std::string& product,
                       const RedirectRule& mayRedirect) {
  constexpr size_t kLargest = 512 * 1024;  // what is read of it; the rest is not looked at
  const bool https = StartsWithNoCase(origin, "https://");
  const std::string address = origin + "/robots.txt";
  HttpRequest request(transport);
  if (!request.OpenSession("Kelvane") ||
      !request.Connect(https, origin.substr(origin.find("://") + 3)) ||
      !request.OpenRequest("GET", "robots.txt", "HTTP/1.0", origin + "/", mayRedirect) ||
      request.Send(StopFlag()) != HttpRequest::SendResult::Sent) {
    Log("Robots rules: " + address + " could not be read (" + request.ErrorText() +
        "): nothing there is fetched");
    return RobotsRules::DisallowAll();
  }
  const int status = request.Status();
  std::string text;
  char buffer[16384];
  while (text.size() < kLargest) {
    const int n = request.Read(buffer, sizeof buffer, StopFlag());
    if (n <= 0)
      break;
    text.append(buffer, static_cast<size_t>(n));
  }
  Log("Robots rules: " + address + " (HTTP " + std::to_string(status) + ")");
  if (status >= 200 && status < 300)
    return RobotsRules::Parse(std::string_view(text).substr(0, kLargest), product);
  // A redirect not followed leaves the file unavailable, as a 4xx does.
  if (status >= 300 && status < 500)
    return RobotsRules::AllowAll();
  return RobotsRules::DisallowAll();
}

}  // namespace

std::string NotSavedText(const FetchedFile& file) {
  switch (file.problem) {
    case FetchProblem::HttpError:
      return "Not saved (HTTP " + IntToText(file.status) + "): " + file.url;
    case FetchProblem::Broken:
      return "Not saved (transfer broken: " + file.problemText + "): " + file.url;
    case FetchProblem::TooLarge:
      return "Not saved (larger than " +
             (file.problemText.empty() ? std::string("4194304") : file.problemText) +
             " bytes): " + file.url;
    case FetchProblem::RedirectRefused:
      return "Not saved (redirected outside the crawl: " + file.problemText + "): " + file.url;
    case FetchProblem::Unreachable:
      return "Not saved (server unreachable): " + file.url;
    case FetchProblem::None:
      break;
  }
  return std::string();
}

FileOutcome OutcomeOf(const CrawlRun::Pass& pass, std::optional<SaveResult> saved) {
  FileOutcome outcome;
  outcome.url = pass.url;
  outcome.httpStatus = pass.file->status;
  outcome.bytes = pass.file->wireBytes.value_or(pass.file->length);
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
      m_transport(OptionsOf(plan)),
      m_rules(RulesOf(plan)),
      m_store(plan.start.saveToDirectory, KeepsRecords(plan, *m_rules)),
      m_upkeep(plan, *m_rules, m_store) {}

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

std::optional<std::string> CrawlRun::RobotsAllow(const std::string& url, bool mayRead) {
  // robots.txt is a matter of http and https servers alone.
  if (!IsHttpUrl(url))
    return std::nullopt;
  const std::string origin = OriginOf(url);
  auto found = m_robots.find(origin);
  // A redirect is judged during its transfer, when no file can be read: one to a server whose
  // robots.txt is not read yet waits for it (RetryAfterRobots).
  if (found == m_robots.end() && !mayRead) {
    m_robotsWanted.insert(origin);
    return std::string("robots.txt not read yet");
  }
  if (found == m_robots.end()) {
    const std::string product = ProductToken(
        m_plan.network.userAgent.empty() ? std::string("Kelvane") : m_plan.network.userAgent);
    // The file may move anywhere but to a server the plan keeps out.
    const RedirectRule follow = [this](const std::string& target) {
      return IsHttpUrl(target) && !ServerExcluded(m_plan.scope, OriginOf(target));
    };
    found = m_robots.emplace(origin, ReadRobots(m_transport, origin, product, follow)).first;
    m_robotsWanted.erase(origin);
  }
  // The path as the request sends it: escapes one way, "." and ".." resolved, a doubled "/"
  // within it kept.
  const size_t scheme = url.find("://");
  const size_t slash = url.find('/', scheme + 3);
  std::string path = "/";
  if (slash != std::string::npos) {
    const size_t query = url.find('?', slash);
    path = ComparablePath(url.substr(slash, query == std::string::npos ? query : query - slash),
                          true) +
           (query == std::string::npos ? std::string() : NormalEscapes(url.substr(query)));
  }
  // A redirect is judged between pages, with a budget of its own.
  int64_t redirectBudget = kRobotsWorkPerPage;
  switch (found->second.Judge(path, mayRead ? m_robotsBudget : redirectBudget)) {
    case RobotsRules::Answer::Allowed:
      return std::nullopt;
    case RobotsRules::Answer::Disallowed:
      return "disallowed by robots.txt";
    case RobotsRules::Answer::TooCostly:
      break;
  }
  return "robots.txt too costly to match";
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
  if (m_plan.update) {
    // The copy is asked for again, only if it changed.
    if (m_store.IsRegularFile(*copy)) {
      pass.earlierCopy = *copy;
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

CrawlRun::Obtained CrawlRun::FetchFile(const std::string& source,
                                       const std::vector<std::string>& conditions, int depth,
                                       bool requisite) {
  Obtained obtained;
  if (!IsHttpUrl(source)) {
    obtained.file = LoadLocal(source);
    if (obtained.file->length <= 0)
      obtained.file.reset();
    return obtained;
  }
  // Another server than the start's, out of reach, is its files' failure alone, as it is with
  // several jobs; it is tried once.
  const std::string origin = OriginOf(source);
  const bool elsewhere = origin != OriginOf(m_plan.start.url);
  if (elsewhere && m_unreachable.count(origin) != 0) {
    obtained.file = std::make_unique<FetchedFile>();
    obtained.file->url = IsHttpUrl(source) ? source : "http://" + source;
    obtained.file->problem = FetchProblem::Unreachable;
    return obtained;
  }
  obtained.file = Fetch(source, m_transport, Redirects(depth, requisite), conditions, elsewhere);
  if (obtained.file->problem == FetchProblem::Unreachable)
    m_unreachable.insert(origin);
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
  const std::string origin = OriginOf(refusedTarget);
  if (m_robots.count(origin) == 0) {
    if (m_robotsWanted.count(origin) == 0)
      return false;  // another rule refused it first
    RobotsAllow(refusedTarget, true);
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
      m_dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(m_downloadedCount));
      m_links->LeaveOut(file.problemText, "another server");
      return true;
    }
    const Scope::Judgement judgement =
        m_scope->Judge(file.problemText, pass.depth, pass.requisite, true);
    if (judgement.verdict != Scope::Verdict::LeftOut)
      return false;
    m_dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(m_downloadedCount));
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

void CrawlRun::FinishPass(Pass& pass) {
  FetchedFile& file = *pass.file;
  if (pass.fromNetwork && m_plan.maxFileSize > 0 && file.problem == FetchProblem::None &&
      file.length > m_plan.maxFileSize) {
    file.problem = FetchProblem::TooLarge;
    file.problemText = std::to_string(m_plan.maxFileSize);
  }
  if (pass.fromNetwork && m_scope && JudgeRedirect(pass))
    return pass.file.reset();
  const std::optional<FileOutcome> kept = KeepEarlierCopy(pass);
  const bool unusable = !kept && Unusable(*pass.file);
  if (pass.fromNetwork && unusable)
    m_dialog.Log(NotSavedText(*pass.file));
  m_dialog.SetControlText(Control::DownloadedFilesEdit, IntToText(m_downloadedCount));
  std::optional<SaveResult> saved;
  const bool storing = pass.stored && pass.fromNetwork && !kept;
  // A copy kept in place of the answer is read, unless it could not be: then nothing is.
  const bool readable = !unusable && (!kept || pass.localPath == pass.earlierCopy);
  if (readable) {
    if (storing)
      pass.localPath = m_upkeep.StoredName(pass.url, pass.localPath, *pass.file);
    m_links->SetPageDepth(pass.depth);
    m_robotsBudget = kRobotsWorkPerPage;
    m_rules->Read(*pass.file, pass.localPath, *m_links);
    if (storing)
      saved = m_store.Save(*pass.file, pass.localPath);
  }
  if (readable && pass.stored && (saved == SaveResult::Saved || !storing))
    m_upkeep.Touched(pass.localPath, pass.file->finalUrl.empty() ? pass.url : pass.file->finalUrl);
  FileOutcome outcome = kept ? *kept : OutcomeOf(pass, saved);
  if (saved == SaveResult::Saved && !pass.earlierCopy.empty())
    outcome.fate = FileFate::Updated;
  if (saved == SaveResult::Saved && m_plan.quota > 0) {
    m_storedBytes += pass.file->length;
    if (!m_quotaReached && m_storedBytes >= m_plan.quota) {
      m_quotaReached = true;
      m_dialog.Log("Quota of " + std::to_string(m_plan.quota) +
                   " bytes reached: no more files are fetched");
    }
  }
  // A file outside the base prefix is only read for its links: neither stored nor refused.
  outcome.localPath = pass.localPath;
  if (!pass.fromNetwork || unusable || saved || kept)
    m_dialog.FileDone(outcome);
  pass.file.reset();
}

CrawlOutcome CrawlRun::Cancel(const std::string& failedCall) {
  m_dialog.Log("Transfert canceled");
  m_dialog.SetProgressPosition(Control::FileProgress, 0);
  m_dialog.SetProgressPosition(Control::ActivityProgress, 0);
  EndActions(m_dialog);
  ReportLeftOut();
  m_links.reset();
  CrawlOutcome outcome{CrawlEnding::Cancelled, failedCall, false};
  outcome.cookiesNotSaved = !SaveCookies();
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
  m_basePrefix = m_links->BasePrefix();
  m_upkeep.SetBasePrefix(m_basePrefix);
  if (m_plan.scope.level > 0)
    m_links->SetBreadthFirst();
  if (!m_plan.scope.Empty()) {
    m_scope = std::make_unique<Scope>(m_plan.scope);
    m_scope->SetRobots(
        [this](const std::string& url, bool mayRead) { return RobotsAllow(url, mayRead); });
    m_links->SetScope(m_scope.get(), [this](const std::string& url, const std::string& why) {
      m_dialog.Log("Left out (" + why + "): " + url);
    });
  }

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
    ReportLeftOut();
    if (outcome.ending == CrawlEnding::QuotaReached)
      outcome.linksLeft += m_links->PendingCount();
  } else {
    m_dialog.ShowMessageBox("Can't connect to " + startUrl);
    outcome = CrawlOutcome{CrawlEnding::NotObtained, startUrl, true};
  }
  m_links.reset();
  // A crawl that ran its course, ended on a file it could not get, or on its quota, leaves a
  // copy that reads from disk; one that was stopped is converted by the next.
  if (m_plan.convertLinks &&
      (outcome.ending == CrawlEnding::Completed || outcome.ending == CrawlEnding::NotObtained ||
       outcome.ending == CrawlEnding::QuotaReached))
    m_upkeep.ConvertLinks(m_basePrefix, m_dialog.m_stopRequested);
  EndActions(m_dialog);
  outcome.cookiesNotSaved = !SaveCookies();
  m_dialog.CrawlEnded(outcome);
  m_dialog.WorkerEnded();
}

bool CrawlRun::SaveCookies() {
  if (m_transport.SaveCookies())
    return true;
  m_dialog.Log("Cookies not saved: " + m_plan.network.saveCookies);
  return false;
}

CrawlOutcome CrawlStep(CrawlRun& run) {
  for (;;) {
    CrawlRun::Pass pass = run.TakeLink();
    if (!run.ReadCopy(pass)) {
      CrawlRun::Obtained doc = run.FetchFile(pass.url, pass.conditions, pass.depth, pass.requisite);
      // A chain of redirects may reach a new server at each step: each robots.txt is read once.
      while (doc.file && doc.file->problem == FetchProblem::RedirectRefused &&
             run.RetryAfterRobots(pass, doc.file->problemText))
        doc = run.FetchFile(pass.url, pass.conditions, pass.depth, pass.requisite);
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
    if (run.QuotaReached())
      return CrawlOutcome{CrawlEnding::QuotaReached, {}, false};
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

void RunCrawl(CrawlDialog& dialog, const CrawlPlan& plan) {
  CrawlRun(dialog, plan).Run();
}
