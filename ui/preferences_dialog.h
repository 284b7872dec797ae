#pragma once

#include <QDialog>
#include <string>

namespace Ui {
class PreferencesDialog;
}

// The browser and verbose options. Every click writes its setting at once; closing writes
// nothing.
class CPreferencesDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CPreferencesDialog(QWidget* parent);
  ~CPreferencesDialog() override;

  void ChooseBrowser();
  void ToggleVerbose();
  void ClearBrowser();
  QWidget* ControlById(int id) const;

  std::string m_browserPath;
  int m_verboseMode = 0;

 private:
  void UpdateData(bool fromControls);
  Ui::PreferencesDialog* m_ui;
};
