#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "ui/last_crawl.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

// Under the window once a crawl with the web rules has ended: how it ended, in a line, and the
// button that opens "What happened". Made only then: the plain crawl's window is as it was.
class CrawlEndRow {
 public:
  // Placed below the window's template, whose height in dialog units is templateHeight, in the
  // font of the window's captions (that of like).
  CrawlEndRow(QDialog* window, int templateHeight, const QWidget* like,
              std::function<void()> whatHappened);
  // Shows the line, and the window grows to hold it; an empty line hides the row.
  void Show(const QString& line);
  // A crawl begins: the row of the last one is emptied while this one runs with the web rules,
  // and hidden otherwise.
  void Begin(bool webRules);

 private:
  void Make();

  QDialog* m_window;
  int m_templateHeight;
  const QWidget* m_like;
  std::function<void()> m_whatHappened;
  QLabel* m_line = nullptr;
  QPushButton* m_button = nullptr;
};

// "What happened": each file of the last crawl not saved, why, and the page that linked it,
// searchable; and the copy's folder opened in the desktop's file manager.
class CrawlReportDialog : public QDialog {
  Q_OBJECT

 public:
  CrawlReportDialog(const std::vector<LastCrawl::Failure>& failures, std::string copyDirectory,
                    QWidget* parent);
  QLineEdit* Search() const { return m_search; }
  QTreeWidget* List() const { return m_list; }
  QPushButton* OpenFolder() const { return m_openFolder; }

 private:
  void Filter(const QString& text);
  void OpenCopyFolder();

  std::string m_copyDirectory;
  QLineEdit* m_search;
  QTreeWidget* m_list;
  QLabel* m_shown;
  QPushButton* m_openFolder;
};
