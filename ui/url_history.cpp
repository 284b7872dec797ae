#include "ui/url_history.h"

#include <QCollator>
#include <QComboBox>
#include <QLineEdit>
#include <algorithm>
#include <optional>
#include <vector>

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
  // An address typed with a login is kept without it, and not where it is kept already: its
  // entry without the login stands for it. Addresses without a login are kept as they are.
  std::vector<std::string> kept;
  const auto present = [&](const std::string& address) {
    return m_combo->findText(ToQt(address), Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0 ||
           std::find(kept.begin(), kept.end(), address) != kept.end();
  };
  std::string currentAddress;
  int keptCurrent = -1;
  for (int i = 0; i < m_combo->count(); ++i) {
    const std::string typed = m_combo->itemText(i).toStdString();
    const std::string address = WithoutTypedLogin(typed);
    if (i == current)
      currentAddress = address;
    if (address != typed && present(address))
      continue;
    if (i == current)
      keptCurrent = static_cast<int>(kept.size());
    kept.push_back(address);
  }
  if (current >= 0 && keptCurrent < 0)
    keptCurrent =
        static_cast<int>(std::find(kept.begin(), kept.end(), currentAddress) - kept.begin());
  m_combo->clear();
  WriteSetting(kHistoryKey + "CurIdx", IntToText(keptCurrent));
  int k = 0;
  for (; k < static_cast<int>(kept.size()); ++k)
    WriteSetting(kHistoryKey + IntToText(k), kept[static_cast<size_t>(k)]);
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
