#include "ui/url_history.h"

#include <QCollator>
#include <QComboBox>
#include <QLineEdit>
#include <optional>

#include "platform/url_resolve.h"
#include "support/int_text.h"
#include "support/settings_store.h"
#include "ui/qt_text.h"
#include "ui/setting_keys.h"

std::string WithoutTypedLogin(const std::string& typed) {
  if (typed.find("://") != std::string::npos)
    return WithoutLogin(typed);
  return WithoutLogin("http://" + typed).substr(7);
}

UrlHistory::UrlHistory(QComboBox* combo) : m_combo(combo) {
  m_combo->setCompleter(nullptr);
  m_combo->setInsertPolicy(QComboBox::NoInsert);
  m_combo->setDuplicatesEnabled(true);
}

// After every entry that does not come after the text, in case-insensitive, locale-aware order.
int UrlHistory::SortedPosition(const QString& text) const {
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  int low = 0;
  int high = m_combo->count();
  while (low < high) {
    int middle = (low + high) / 2;
    if (collator.compare(m_combo->itemText(middle), text) <= 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

int UrlHistory::Load() {
  const int stored = TextToInt(ReadSetting(kHistoryKey + "CurIdx"));
  std::optional<QString> restored;
  for (int n = 0;; ++n) {
    std::string entry = ReadSetting(kHistoryKey + IntToText(n));
    if (entry.empty())
      break;
    QString text = ToQt(entry);
    m_combo->insertItem(SortedPosition(text), text);
    if (n == stored)
      restored = text;
  }
  int current = -1;
  if (restored)
    current = m_combo->findText(*restored, Qt::MatchExactly | Qt::MatchCaseSensitive);
  m_combo->setCurrentIndex(current);
  SetText(current < 0 ? QString() : *restored);
  return current;
}

void UrlHistory::Save(int current) {
  WriteSetting(kHistoryKey + "CurIdx", IntToText(current));
  int k = 0;
  while (m_combo->count() > 0) {
    WriteSetting(kHistoryKey + IntToText(k), WithoutTypedLogin(m_combo->itemText(0).toStdString()));
    m_combo->removeItem(0);
    ++k;
  }
  while (!ReadSetting(kHistoryKey + IntToText(k)).empty()) {
    WriteSetting(kHistoryKey + IntToText(k), "");
    ++k;
  }
}

int UrlHistory::Commit(const QString& text) {
  if (text.isEmpty())
    return -1;
  int current = m_combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (current < 0) {
    m_combo->addItem(text);
    current = m_combo->count() - 1;
  }
  m_combo->setCurrentIndex(current);
  SetText(text);
  return current;
}

bool UrlHistory::Delete(const QString& text) {
  int found = -1;
  for (int i = 0; i < m_combo->count() && found < 0; ++i) {
    if (m_combo->itemText(i).compare(text, Qt::CaseInsensitive) == 0)
      found = i;
  }
  if (found < 0)
    return false;
  m_combo->removeItem(found);
  SetText(m_combo->count() > 0 ? m_combo->itemText(0) : QString());
  return true;
}

QString UrlHistory::Text() const {
  return m_combo->currentText();
}

void UrlHistory::SetText(const QString& text) {
  // Only the text changes: a different text must not pass for the current entry.
  m_combo->setEditText(text);
}

QString UrlHistory::Entry(int position) const {
  return position >= 0 && position < m_combo->count() ? m_combo->itemText(position) : QString();
}

int UrlHistory::Count() const {
  return m_combo->count();
}
