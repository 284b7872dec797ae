// Micro-benchmarks of the crawl's hot paths.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "crawl/base/crawl_dialog.h"
#include "crawl/read/link_scanner.h"
#include "crawl/read/page_reader.h"
#include "crawl/run/link_stack.h"

namespace {

// A dialog that does nothing, so that only the engine's own work is measured.
class QuietDialog : public CrawlDialog {
 public:
  QuietDialog() { g_mainDialog = this; }
  void SetControlText(Control, const std::string&) override {}
  void SetProgressRange(Control, int, int) override {}
  void SetProgressPosition(Control, int) override {}
  void EnableControl(Control, bool) override {}
  void ShowMessageBox(const std::string&) override {}
};

// Push of a new link onto a stack that has already accepted state.range(0) links.
void BM_PushWithAcceptedLinks(benchmark::State& state) {
  QuietDialog dialog;
  LinkStack stack("http://host/site/");
  const int accepted = static_cast<int>(state.range(0));
  for (int i = 0; i < accepted; ++i)
    stack.Push("http://host/site/d/", "p" + std::to_string(i) + ".htm", 0);
  int next = accepted;
  for (auto _ : state) {
    stack.Push("http://host/site/d/", "p" + std::to_string(next++) + ".htm", 0);
    if (!stack.IsEmpty())
      stack.Pop();
  }
}
BENCHMARK(BM_PushWithAcceptedLinks)->Arg(1000)->Arg(100000);

std::unique_ptr<FetchedFile> Page(const std::string& bytes) {
  auto page = std::make_unique<FetchedFile>();
  std::memcpy(page->data.get(), bytes.data(), bytes.size());
  page->length = static_cast<int32_t>(bytes.size());
  page->url = "http://host/site/d/page.htm";
  return page;
}

// The page both readers are measured on.
std::string BenchPage() {
  std::string html = "<html><head><title>A page</title></head><body BACKGROUND=\"bg.gif\">\n";
  for (int i = 0; i < 400; ++i) {
    html += "<p>Some text of the page, with a <A HREF=\"p" + std::to_string(i % 50) +
            ".htm\">link</A> and a picture <IMG SRC=\"i" + std::to_string(i % 30) +
            ".gif\" ALT=\"x\">.</p>\r\n";
    html += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.\r\n";
  }
  return html;
}

void BM_ScanPage(benchmark::State& state) {
  QuietDialog dialog;
  auto page = Page(BenchPage());
  for (auto _ : state) {
    LinkStack stack("http://host/site/");
    page->cursor = -1;
    LinkScanner::ScanPage(*page, stack);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page->length);
}
BENCHMARK(BM_ScanPage);

// The HTML page reader of complete-page crawls on the same page.
void BM_ReadPage(benchmark::State& state) {
  const std::string html = BenchPage();
  for (auto _ : state)
    benchmark::DoNotOptimize(ReadPage(html));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_ReadPage);

void BM_ReadLineLongLines(benchmark::State& state) {
  std::string text;
  for (int i = 0; i < 64; ++i)
    text += std::string(4000, 'x') + "\n";
  auto page = Page(text);
  for (auto _ : state) {
    page->cursor = -1;
    while (!LinkScanner::AtEnd(*page))
      benchmark::DoNotOptimize(LinkScanner::ReadLine(*page));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page->length);
}
BENCHMARK(BM_ReadLineLongLines);

}  // namespace

BENCHMARK_MAIN();
