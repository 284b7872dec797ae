#pragma once

#include <QDialog>
#include <string>

class CopyPreferencesSection;
class QScrollArea;

namespace Ui {
class PreferencesDialog;
}

// The browser and verbose options, and below them what the copy takes. Every click or edit
// writes its setting at once; closing writes nothing.
class CPreferencesDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CPreferencesDialog(QWidget* parent);
  ~CPreferencesDialog() override;

  void ChooseBrowser();
  void ToggleVerbose();
  void ClearBrowser();
  QWidget* ControlById(int id) const;
  CopyPreferencesSection* CopySection() const { return m_copy; }
  // A refused value is never dropped unseen: the dialog stays, at its field, until it is fixed
  // or emptied.
  void done(int result) override;

  std::string m_browserPath;
  int m_verboseMode = 0;

 private:
  void UpdateData(bool fromControls);
  // The dialog's size: the template's box, and the copy's section below it, which scrolls where
  // the whole would be taller than the screen.
  void FitSection();
  Ui::PreferencesDialog* m_ui;
  QScrollArea* m_scroll = nullptr;
  CopyPreferencesSection* m_copy = nullptr;
  QSize m_templateSize;
};
