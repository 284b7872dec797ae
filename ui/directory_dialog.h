#pragma once

#include <QFileDialog>
#include <string>

class QLineEdit;
class QPushButton;

// A folder picker on the toolkit's own file dialog: no file types, no accept button of its own;
// the name field, labelled "Repertoire:", always shows the folder being browsed, and "Open" ends
// the dialog with that folder while it is a real directory.
class CDirectoryDialog : public QFileDialog {
  Q_OBJECT

 public:
  CDirectoryDialog(const std::string& initialFolder, QWidget* parent);

  std::string m_folder;
  QPushButton* OpenButton() const { return m_openButton; }

 protected:
  bool OnInitDialog();

 private:
  // Every change of place or selection: the name field goes back to the browsed folder.
  void OnNotify();
  void OnOpen();

  QLineEdit* m_nameField = nullptr;
  QPushButton* m_openButton = nullptr;
};
