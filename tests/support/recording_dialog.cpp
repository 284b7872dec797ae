#include "support/recording_dialog.h"

#include "support/int_text.h"

namespace {
std::string Id(Control control) {
  return IntToText(static_cast<int>(control));
}
}  // namespace

RecordingDialog::RecordingDialog() {
  g_mainDialog = this;
}

RecordingDialog::~RecordingDialog() {
  if (g_mainDialog == this)
    g_mainDialog = nullptr;
}

void RecordingDialog::SetControlText(Control control, const std::string& text) {
  Record("text " + Id(control) + " " + text);
}

void RecordingDialog::SetProgressRange(Control bar, int low, int high) {
  Record("range " + Id(bar) + " " + IntToText(low) + " " + IntToText(high));
}

void RecordingDialog::SetProgressPosition(Control bar, int position) {
  Record("pos " + Id(bar) + " " + IntToText(position));
}

void RecordingDialog::EnableControl(Control control, bool enabled) {
  Record("enable " + Id(control) + (enabled ? " 1" : " 0"));
}

void RecordingDialog::ShowMessageBox(const std::string& text) {
  Record("message " + text);
}

void RecordingDialog::Record(std::string event) {
  {
    std::lock_guard lock(m_mutex);
    m_events.push_back(event);
  }
  if (onEvent)
    onEvent(event);
}

std::vector<std::string> RecordingDialog::Events() const {
  std::lock_guard lock(m_mutex);
  return m_events;
}

std::vector<std::string> RecordingDialog::Logs() const {
  return Texts(Control::StatusLine);
}

std::vector<std::string> RecordingDialog::Texts(Control control) const {
  const std::string prefix = "text " + Id(control) + " ";
  std::vector<std::string> texts;
  std::lock_guard lock(m_mutex);
  for (const std::string& event : m_events) {
    if (event.starts_with(prefix))
      texts.push_back(event.substr(prefix.size()));
  }
  return texts;
}

std::string RecordingDialog::LastText(Control control) const {
  std::vector<std::string> texts = Texts(control);
  return texts.empty() ? std::string() : texts.back();
}

void RecordingDialog::FileDone(const FileOutcome& outcome) {
  std::lock_guard lock(m_mutex);
  m_outcomes.push_back(outcome);
}

void RecordingDialog::CrawlEnded(const CrawlOutcome& ending) {
  std::lock_guard lock(m_mutex);
  m_endings.push_back(ending);
}

std::vector<FileOutcome> RecordingDialog::Outcomes() const {
  std::lock_guard lock(m_mutex);
  return m_outcomes;
}

std::vector<CrawlOutcome> RecordingDialog::Endings() const {
  std::lock_guard lock(m_mutex);
  return m_endings;
}

void RecordingDialog::Clear() {
  std::lock_guard lock(m_mutex);
  m_events.clear();
  m_outcomes.clear();
  m_endings.clear();
}
