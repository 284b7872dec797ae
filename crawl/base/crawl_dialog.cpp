#include "crawl/base/crawl_dialog.h"

#include "support/activity_log.h"

CrawlDialog* g_mainDialog = nullptr;

CrawlDialog::~CrawlDialog() {
  if (g_mainDialog == this)
    g_mainDialog = nullptr;
}

void CrawlDialog::ShowCurrentItem(std::string label, std::string item) {
  SetControlText(Control::CurrentItemLabel, label);
  SetControlText(Control::CurrentItemEdit, item);
}

void CrawlDialog::DeleteLog() {
  DeleteLogFile(m_saveToDirectory.Get());
}

void CrawlDialog::Log(std::string text) {
  SetControlText(Control::StatusLine, text);
  if (m_verbose.load(std::memory_order_relaxed) == 0)
    return;
  AppendLogLine(LogFilePath(m_saveToDirectory.Get()), text);
}

void Log(const std::string& text) {
  if (g_mainDialog != nullptr)
    g_mainDialog->Log(text);
}

void ShowControlText(Control control, const std::string& text) {
  if (g_mainDialog != nullptr)
    g_mainDialog->SetControlText(control, text);
}

void ShowProgressRange(Control bar, int low, int high) {
  if (g_mainDialog != nullptr)
    g_mainDialog->SetProgressRange(bar, low, high);
}

void ShowProgressPosition(Control bar, int position) {
  if (g_mainDialog != nullptr)
    g_mainDialog->SetProgressPosition(bar, position);
}

void FileTally::Count(const FileOutcome& file) {
  if (file.fromNetwork)
    bytes += file.bytes;
  switch (file.fate) {
    case FileFate::Stored:
      ++stored;
      ++added;
      break;
    case FileFate::Updated:
      ++stored;
      ++updated;
      break;
    case FileFate::ReadFromCopy:
      ++fromCopies;
      break;
    case FileFate::Unchanged:
      ++fromCopies;
      ++unchanged;
      break;
    case FileFate::Gone:
      ++fromCopies;
      ++gone;
      break;
    case FileFate::LeftOut:
      ++leftOut;
      break;
    case FileFate::Recorded:
      break;
    case FileFate::NotSaved:
      ++notSaved;
      broken += file.reason == NotSavedReason::BrokenTransfer ||
                        file.reason == NotSavedReason::ServerUnreachable
                    ? 1
                    : 0;
      writeFailed += file.reason == NotSavedReason::WriteFailed ? 1 : 0;
      loginRefused += file.httpStatus == 401 || file.httpStatus == 407 ? 1 : 0;
      break;
  }
}
