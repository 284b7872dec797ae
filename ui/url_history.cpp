// The URL history of the main dialog: the combo box's list, its current entry, and the
// settings that keep it between runs.
#include <QCollator>
#include <QComboBox>
#include <QLineEdit>

#include "crawl/mirror_writer.h"
#include "support/settings_store.h"
#include "ui/main_dialog.h"
#include "ui/url_history.h"
#include "ui_main_dialog.h"

namespace {

const std::string kHistoryKey = "SOFTWARE\\ORTALUX\\Kelvane\\URLToDownload\\";

QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

int SortedInsertionPosition(const QComboBox* combo, const QString& text) {
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  int low = 0;
  int high = combo->count();
  while (low < high) {
    int middle = (low + high) / 2;
    if (collator.compare(combo->itemText(middle), text) <= 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

void CKelvaneDlg::LoadHistory() {
  QComboBox* combo = m_ui->urlCombo;
  const int stored = TextToInt(ReadSetting(kHistoryKey + "CurIdx"));
  std::optional<QString> restored;
  for (int n = 0;; ++n) {
    std::string entry = ReadSetting(kHistoryKey + IntToText(n));
    if (entry.empty())
      break;
    QString text = ToQt(entry);
    combo->insertItem(SortedInsertionPosition(combo, text), text);
    if (n == stored) {
      restored = text;
      m_url.Set(entry);
      combo->setEditText(text);
    }
  }
  if (restored)
    m_historyIndex = combo->findText(*restored, Qt::MatchExactly | Qt::MatchCaseSensitive);
  combo->setCurrentIndex(m_historyIndex);
  if (m_historyIndex < 0)
    combo->setEditText(QString());
}

void CKelvaneDlg::SaveHistory() {
  QComboBox* combo = m_ui->urlCombo;
  WriteSetting(kHistoryKey + "CurIdx", IntToText(m_historyIndex));
  int k = 0;
  while (combo->count() > 0) {
    WriteSetting(kHistoryKey + IntToText(k), combo->itemText(0).toStdString());
    combo->removeItem(0);
    ++k;
  }
  while (!ReadSetting(kHistoryKey + IntToText(k)).empty()) {
    WriteSetting(kHistoryKey + IntToText(k), "");
    ++k;
  }
}

void CKelvaneDlg::CommitUrl() {
  QComboBox* combo = m_ui->urlCombo;
  const QString text = combo->currentText();
  m_url.Set(text.toStdString());
  // An empty text is no entry: stored, it would end the list and lose what follows it.
  int current = -1;
  if (!text.isEmpty()) {
    current = combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (current < 0) {
      combo->addItem(text);
      current = combo->count() - 1;
    }
    combo->setCurrentIndex(current);
    combo->setEditText(text);
  }
  m_historyIndex = current;
  RefreshMirrorDirectory();
}

void CKelvaneDlg::OnSelectionChanged(int position) {
  QComboBox* combo = m_ui->urlCombo;
  if (position >= 0 && position < combo->count()) {
    m_url.Set(combo->itemText(position).toStdString());
    combo->setEditText(combo->itemText(position));
    m_historyIndex = position;
  }
  RefreshMirrorDirectory();
}

void CKelvaneDlg::RefreshMirrorDirectory() {
  m_url.Set(m_ui->urlCombo->currentText().toStdString());
  m_mirrorDirectory.Set(MirrorDirectory(m_url.Get(), m_saveToDirectory.Get()));
  m_ui->mirrorDirectoryEdit->setText(ToQt(m_mirrorDirectory.Get()));
}

void CKelvaneDlg::DeleteCurrentUrl() {
  QComboBox* combo = m_ui->urlCombo;
  const QString text = combo->currentText();
  int found = -1;
  for (int i = 0; i < combo->count() && found < 0; ++i) {
    if (combo->itemText(i).compare(text, Qt::CaseInsensitive) == 0)
      found = i;
  }
  if (found < 0)
    return;
  combo->removeItem(found);
  combo->setEditText(combo->count() > 0 ? combo->itemText(0) : QString());
  CommitUrl();
}
