#include "crawl/run/script_pages.h"

#include "crawl/rules/crawl_rules.h"

namespace {

// The most of a stored file a page is handed again from the disk.
constexpr size_t kMostFromDisk = size_t{64} << 20;

}  // namespace

std::optional<std::string> RenderMissing(const CrawlPlan& plan) {
  if (!plan.render || BrowserPipe::Program())
    return std::nullopt;
  return "Running the pages' scripts needs Chromium: install the package chromium";
}

ScriptPages::ScriptPages(CrawlDialog& dialog, MirrorStore& store, const CrawlRules& rules,
                         std::unique_ptr<LinkStack>& links, int tabs, RenderBudget budget)
    : m_dialog(dialog),
      m_store(store),
      m_rules(rules),
      m_links(links),
      m_renderer(*this, tabs, budget) {}

void ScriptPages::Done(const CrawlPass& pass) {
  const FetchedFile& file = *pass.file;
  const std::string answered = file.finalUrl.empty() ? pass.url : file.finalUrl;
  if (answered != pass.url) {
    Held sent{302, {}, {}, answered};
    m_held[pass.url] = sent;
    m_renderer.Answer(pass.url, AnswerOf(sent));
  }
  // An answer that did not come whole is none; an error's page is the page's to see.
  if (file.problem != FetchProblem::None && file.problem != FetchProblem::HttpError)
    return m_renderer.Answer(answered, std::nullopt);
  const bool whole = !file.spool && file.data;
  Held held{file.status == 0 ? 200 : file.status,
            file.contentType,
            pass.stored ? pass.localPath : std::string(),
            {}};
  m_held[answered] = held;
  RenderAnswer answer{held.status,
                      held.contentType,
                      whole ? std::string(file.data.get(), file.length) : std::string(),
                      {}};
  if (whole)
    m_renderer.Answer(answered, answer);
  else
    m_renderer.Answer(answered, AnswerOf(held));
  if (whole && file.problem == FetchProblem::None &&
      KindOf(file.contentType, pass.localPath) == FileKind::Page)
    m_renderer.Load(answered, std::move(answer.body), file.contentType, pass.depth);
}

std::optional<RenderAnswer> ScriptPages::AnswerOf(const Held& held) {
  RenderAnswer answer{held.status, held.contentType, {}, held.location};
  if (held.localPath.empty())
    return answer;
  std::optional<std::string> bytes = m_store.ReadWhole(held.localPath, kMostFromDisk);
  if (!bytes)
    return std::nullopt;
  answer.body = std::move(*bytes);
  return answer;
}

bool ScriptPages::Want(const std::string& url, const std::string& page, int depth) {
  if (auto held = m_held.find(url); held != m_held.end()) {
    m_renderer.Answer(url, AnswerOf(held->second));
    return true;
  }
  // Asked for before and still to come: its answer comes with its pass.
  if (!m_links || Take(url, page, depth, true))
    return m_links != nullptr;
  return m_links->WasAccepted(url);
}

void ScriptPages::FoundLink(const std::string& url, const std::string& page, int depth) {
  if (m_links)
    Take(url, page, depth, false);
}

bool ScriptPages::Take(const std::string& url, const std::string& page, int depth, bool requisite) {
  m_links->SetPage(page);
  m_links->SetPageDepth(depth);
  if (m_links->WasAccepted(url)) {
    m_links->SeenAgain(url);
    return true;
  }
  // Judged as the page's own reference: what it asks for as a requisite, a link its scripts made
  // as any link.
  m_rules.TakeFound(url, !requisite, *m_links);
  return false;
}
