#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "crawl/base/crawl_dialog.h"
#include "crawl/copy/mirror_store.h"
#include "crawl/rules/crawl_rules.h"
#include "crawl/run/crawl_pass.h"
#include "crawl/run/link_stack.h"
#include "crawl/run/page_renderer.h"
#include "platform/watched_fd.h"

// With --render: the crawl's side of the pages' scripts. Every file a page asks for becomes a
// link of the crawl, a requisite of the page, fetched, stored and recorded as any other; its
// answer goes to the page once its pass is done. Links the scripts add are followed as the
// page's own.
class ScriptPages : public RenderHost {
 public:
  ScriptPages(CrawlDialog& dialog, MirrorStore& store, const CrawlRules& rules,
              std::unique_ptr<LinkStack>& links, int tabs, RenderBudget budget);

  // Starts the browser; false, with why, when it cannot be.
  bool Start(std::string& why) { return m_renderer.Start(why); }
  // A pass done with, its file still at hand: pages that asked for it get it, and a page is
  // loaded with its scripts.
  void Done(const CrawlPass& pass);
  // A pass that ended with nothing for the pages that asked for it.
  void Failed(const std::string& url) { m_renderer.Answer(url, std::nullopt); }
  void Pump(int waitMs) { m_renderer.Pump(waitMs); }
  std::vector<WatchedFd> Watched() const { return m_renderer.Watched(); }
  bool Busy() const { return m_renderer.Busy(); }
  int WithoutScripts() const { return m_renderer.WithoutScripts(); }
  int StoppedAtBudget() const { return m_renderer.StoppedAtBudget(); }

  bool Want(const std::string& url, const std::string& page, int depth) override;
  void FoundLink(const std::string& url, const std::string& page, int depth) override;
  void Say(const std::string& text) override { m_dialog.Log(text); }

 private:
  // What the crawl holds of an address, to answer a page that asks for it later.
  struct Held {
    int status = 0;
    std::string contentType;
    std::string localPath;  // where its bytes are, when they were stored
    std::string location;   // where it was sent on
  };
  std::optional<RenderAnswer> AnswerOf(const Held& held);
  // The address as a link of the page: true where the crawl had taken it before.
  bool Take(const std::string& url, const std::string& page, int depth, bool requisite);

  CrawlDialog& m_dialog;
  MirrorStore& m_store;
  const CrawlRules& m_rules;
  std::unique_ptr<LinkStack>& m_links;
  std::unordered_map<std::string, Held> m_held;
  PageRenderer m_renderer;
};

// Where --render cannot run: why; nothing where it can, or is not asked for.
std::optional<std::string> RenderMissing(const CrawlPlan& plan);
