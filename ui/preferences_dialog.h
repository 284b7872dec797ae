#pragma once

#include <QDialog>
#include <string>

class CopyPreferencesSection;

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

  std::string m_browserPath;
  int m_verboseMode = 0;

 private:
  void UpdateData(bool fromControls);
  // The dialog's size: the template's box, and the copy's section below it.
  void FitSection();
  Ui::PreferencesDialog* m_ui;
  CopyPreferencesSection* m_copy = nullptr;
  QSize m_templateSize;
};
