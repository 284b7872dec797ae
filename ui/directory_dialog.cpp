#include "ui/directory_dialog.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "ui/dialog_units.h"
#include "ui_directory_dialog.h"

CDirectoryDialog::CDirectoryDialog(const std::string& initialFolder, QWidget* parent)
    : QFileDialog(parent) {
  setOption(QFileDialog::DontUseNativeDialog, true);
  setFileMode(QFileDialog::Directory);
  setOption(QFileDialog::ShowDirsOnly, true);
  setAcceptMode(QFileDialog::AcceptOpen);
  // It opens where the save-to directory is, so the name field and the list agree from the start.
  // A directory that has gone since opens at the nearest folder above it that is still there.
  QString initial = QString::fromStdString(initialFolder);
  while (!initial.isEmpty() && !QFileInfo(initial).isDir() && initial != QLatin1String("/"))
    initial = QFileInfo(initial).absolutePath();
  if (!initial.isEmpty() && QFileInfo(initial).isDir())
    setDirectory(initial);
  m_folder = directory().absolutePath().toStdString();
  OnInitDialog();
}

bool CDirectoryDialog::OnInitDialog() {
  for (const char* name : {"fileTypeCombo", "fileTypeLabel"}) {
    if (auto* widget = findChild<QWidget*>(name))
      widget->hide();
  }
  if (auto* buttons = findChild<QDialogButtonBox*>("buttonBox")) {
    if (QPushButton* accept = buttons->button(QDialogButtonBox::Open))
      accept->hide();
    if (QPushButton* accept = buttons->button(QDialogButtonBox::Save))
      accept->hide();
  }
  if (auto* label = findChild<QLabel*>("fileNameLabel"))
    label->setText("Repertoire:");
  m_nameField = findChild<QLineEdit*>("fileNameEdit");

  // The row of the chooser's own: the default button "Open".
  auto* extra = new QWidget(this);
  Ui::DirectoryDialogExtra ui;
  ui.setupUi(extra);
  ApplyDialogUnits(extra);
  m_openButton = ui.openButton;
  if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
    grid->addWidget(extra, grid->rowCount(), 0, 1, grid->columnCount());
  }
  m_openButton->setDefault(true);
  connect(m_openButton, &QPushButton::clicked, this, [this] { OnOpen(); });

  connect(this, &QFileDialog::directoryEntered, this, [this] { OnNotify(); });
  connect(this, &QFileDialog::currentChanged, this, [this] { OnNotify(); });
  if (m_nameField != nullptr)
    m_nameField->setText(QString::fromStdString(m_folder));
  return true;
}

void CDirectoryDialog::OnNotify() {
  QString folder = directory().absolutePath();
  m_folder = QFileInfo(folder).isDir() ? folder.toStdString() : std::string();
  if (m_nameField == nullptr)
    return;
  m_nameField->setText(QString::fromStdString(m_folder));
  // The file dialog fills the field itself after some of these changes: have the last word.
  QTimer::singleShot(0, this, [this] { m_nameField->setText(QString::fromStdString(m_folder)); });
}

void CDirectoryDialog::OnOpen() {
  OnNotify();
  if (!m_folder.empty() && QFileInfo(QString::fromStdString(m_folder)).isDir()) {
    QDialog::accept();
  }
}
