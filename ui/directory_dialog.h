#pragma once

#include <QFileDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

// A folder picker on the toolkit's own file dialog: no file types, no accept button of its own;
// the name field, labelled "Repertoire:", shows the folder highlighted in the list, else the one
// being browsed, after every change of place or selection, and "Open" (or Enter) ends the dialog
// with the folder the field shows, typed or browsed, while it is a real directory. Where there is
// none, the line beside "Open" says why; a folder typed that does not exist is offered for
// creation.
class CDirectoryDialog : public QFileDialog {
  Q_OBJECT

 public:
  CDirectoryDialog(const std::string& initialFolder, QWidget* parent);

  std::string m_folder;
  QPushButton* OpenButton() const { return m_openButton; }
  QLabel* OpenMessage() const { return m_openMessage; }

  // The file dialog's own ending (Enter in the name field) is "Open".
  void accept() override;

 protected:
  bool OnInitDialog();
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Every change of place or selection: the name field goes back to the browsed folder.
  void OnNotify();
  // OnNotify connected to each change of place and selection, and the field watched for typing.
  void FollowPlaceAndSelection();
  void OnOpen();
  // The folder highlighted in the list shown, if one is.
  QString Highlighted() const;

  // The field's text set back to the browsed folder unless the person is editing it.
  void OnFieldChanged();

  QLineEdit* m_nameField = nullptr;
  QPushButton* m_openButton = nullptr;
  QLabel* m_openMessage = nullptr;
  bool m_typed = false;  // the field holds what the person typed since the last change of place
};
