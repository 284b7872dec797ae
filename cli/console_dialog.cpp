#include "cli/console_dialog.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

size_t TerminalWidth() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

}  // namespace

std::string PrintableText(const std::string& text) {
  std::string printable = text;
  for (char& c : printable) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      c = '?';
  }
  return printable;
}

ConsoleDialog::ConsoleDialog(bool showProgress, bool listBroken)
    : m_showProgress(showProgress), m_listBroken(listBroken) {
  g_mainDialog = this;
}

ConsoleDialog::~ConsoleDialog() = default;

void ConsoleDialog::SetControlText(Control control, const std::string& text) {
  std::lock_guard lock(m_mutex);
  switch (control) {
    case Control::QueuedFilesEdit:
      m_queued = text;
      break;
    case Control::ReadFilesEdit:
      m_read = text;
      break;
    case Control::DownloadedFilesEdit:
      m_downloaded = text;
      break;
    case Control::CurrentItemLabel:
      m_label = text;
      break;
    case Control::CurrentItemEdit:
      m_item = text;
      break;
    case Control::StatusLine:
      m_status = text;
      break;
    default:
      break;
  }
  Redraw(false);
}

void ConsoleDialog::SetProgressRange(Control bar, int, int high) {
  if (bar != Control::FileProgress)
    return;
  std::lock_guard lock(m_mutex);
  m_fileHigh = high;
}

void ConsoleDialog::SetProgressPosition(Control bar, int position) {
  if (bar != Control::FileProgress)
    return;
  std::lock_guard lock(m_mutex);
  m_filePosition = position;
}

void ConsoleDialog::EnableControl(Control, bool) {}

void ConsoleDialog::FileDone(const FileOutcome& file) {
  std::lock_guard lock(m_mutex);
  m_outcome.Count(file);
  if (file.fate == FileFate::NotSaved && m_outcome.failures.size() < kFailuresNamed)
    m_outcome.failures.push_back(file.url + " (" + file.why + ")");
  if (file.fate == FileFate::NotSaved && m_listBroken)
    m_outcome.brokenLinks.push_back(
        file.url + " (" + file.why + ")" +
        (file.referrer.empty() ? "" : ", linked from " + file.referrer));
}

void ConsoleDialog::CrawlEnded(const CrawlOutcome& ending) {
  std::lock_guard lock(m_mutex);
  m_outcome.ending = ending;
  m_outcome.ended = true;
}

void ConsoleDialog::ShowMessageBox(const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (m_lineShown)
    std::fputs("\r\x1b[K", stderr);
  m_lineShown = false;
  std::fprintf(stderr, "kelvane-cli: %s\n", PrintableText(text).c_str());
}

ConsoleDialog::Outcome ConsoleDialog::Result() const {
  std::lock_guard lock(m_mutex);
  return m_outcome;
}

void ConsoleDialog::ClearProgress() {
  std::lock_guard lock(m_mutex);
  if (m_lineShown)
    std::fputs("\r\x1b[K", stderr);
  m_lineShown = false;
}

void ConsoleDialog::Redraw(bool force) {
  if (!m_showProgress)
    return;
  auto now = std::chrono::steady_clock::now();
  if (!force && now - m_lastDraw < kRedrawEvery)
    return;
  m_lastDraw = now;
  constexpr int kBarWidth = 10;
  int filled = 0;
  if (m_fileHigh > 0 && m_filePosition > 0) {
    filled = static_cast<int>(
        std::min<int64_t>(kBarWidth, int64_t{m_filePosition} * kBarWidth / m_fileHigh));
  }
  std::string line = "queued " + m_queued + "  read " + m_read + "  downloaded " + m_downloaded +
                     "  [" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') +
                     "] " + m_label + m_item + "  " + m_status;
  line = PrintableText(line);
  size_t width = TerminalWidth();
  if (line.size() >= width)
    line.resize(width - 1);
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
  m_lineShown = true;
}
