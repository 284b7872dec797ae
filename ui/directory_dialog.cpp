#include "ui/directory_dialog.h"

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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
  m_openMessage = ui.openMessage;
  if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
    grid->addWidget(extra, grid->rowCount(), 0, 1, grid->columnCount());
  }
  m_openButton->setDefault(true);
  connect(m_openButton, &QPushButton::clicked, this, [this] { OnOpen(); });
  FollowPlaceAndSelection();
  FitDetailColumns(this);
  FitWindowToScreen(this);
  return true;
}

void CDirectoryDialog::FollowPlaceAndSelection() {
  connect(this, &QFileDialog::directoryEntered, this, [this] { OnNotify(); });
  connect(this, &QFileDialog::directoryUrlEntered, this, [this] { OnNotify(); });
  connect(this, &QFileDialog::currentChanged, this, [this] {
    if (!m_typed)
      OnNotify();
  });
  // A click in the list changes the selection after the current item: the field follows both.
  // Typing selects the matching name in the list: that is no change the person made there.
  for (auto* view : findChildren<QAbstractItemView*>()) {
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    if (view->selectionModel() != nullptr)
      connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!m_typed)
          OnNotify();
      });
  }
  if (m_nameField != nullptr) {
    m_nameField->setText(QString::fromStdString(m_folder));
    m_nameField->installEventFilter(this);
    connect(m_nameField, &QLineEdit::textChanged, this, [this] { OnFieldChanged(); });
  }
}

bool CDirectoryDialog::eventFilter(QObject* watched, QEvent* event) {
  // What reaches the field from the keyboard, a paste or a drop is the person's own text; a
  // click or a key in a list, or the side panel, is browsing again.
  if (watched != m_nameField) {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)
      m_typed = false;
  } else {
    switch (event->type()) {
      case QEvent::KeyPress:
      case QEvent::InputMethod:
      case QEvent::Drop:
      case QEvent::ContextMenu:
      case QEvent::MouseButtonRelease:
        m_typed = true;
        break;
      default:
        break;
    }
  }
  return QFileDialog::eventFilter(watched, event);
}

void CDirectoryDialog::OnFieldChanged() {
  // The file dialog writes the names it selects into the field, quoted; that is no folder.
  if (m_typed || m_nameField->text() == QString::fromStdString(m_folder))
    return;
  QTimer::singleShot(0, this, [this] {
    if (!m_typed)
      m_nameField->setText(QString::fromStdString(m_folder));
  });
}

void CDirectoryDialog::OnNotify() {
  // A place without a path of its own (the list of the computer's drives) is no folder: the
  // list's root is then empty, which directory() would give as the working directory.
  const auto* files = findChild<QFileSystemModel*>();
  const QString root = files != nullptr ? files->rootPath() : directory().absolutePath();
  // In the list of drives nothing is a folder, whatever it shows highlighted: Open opens it.
  const QString highlighted = QDir::isAbsolutePath(root) ? Highlighted() : QString();
  const QString folder = !highlighted.isEmpty()       ? highlighted
                         : QDir::isAbsolutePath(root) ? QDir::cleanPath(root)
                                                      : QString();
  m_folder = !folder.isEmpty() && QFileInfo(folder).isDir() ? folder.toStdString() : std::string();
  m_typed = false;
  m_openMessage->clear();
  if (m_nameField == nullptr)
    return;
  m_nameField->setText(QString::fromStdString(m_folder));
  // The file dialog fills the field itself after some of these changes: have the last word.
  QTimer::singleShot(0, this, [this] {
    if (!m_typed)
      m_nameField->setText(QString::fromStdString(m_folder));
  });
}

QString CDirectoryDialog::Highlighted() const {
  for (auto* view : findChildren<QAbstractItemView*>()) {
    if (!view->isVisible() || view->objectName() == QLatin1String("sidebar") ||
        view->selectionModel() == nullptr)
      continue;
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    // A row the list shows: one left selected in the folder browsed before is no choice.
    if (rows.size() != 1 || rows.front().parent() != view->rootIndex())
      continue;
    const QString path = rows.front().data(QFileSystemModel::FilePathRole).toString();
    if (QDir::isAbsolutePath(path) && QFileInfo(path).isDir())
      return QDir::cleanPath(path);
  }
  return QString();
}

void CDirectoryDialog::accept() {
  OnOpen();
}

void CDirectoryDialog::OnOpen() {
  // What the field shows is what is chosen: a folder typed there, relative ones below the
  // browsed folder, or the browsed folder itself.
  QString text =
      m_nameField != nullptr ? m_nameField->text().trimmed() : QString::fromStdString(m_folder);
  const QString placeless =
      QStringLiteral("This place lists the computer's drives: open a folder first.");
  // A drive highlighted in the list of drives is opened, as a double click would.
  if (text.isEmpty() && m_folder.empty() && !m_typed) {
    if (const QString drive = Highlighted(); !drive.isEmpty())
      return setDirectory(drive);
  }
  if (text.isEmpty())
    return m_openMessage->setText(placeless);
  // "~" is the home folder, as a shell reads it.
  if (text == QLatin1String("~") || text.startsWith(QLatin1String("~/")))
    text = QDir::homePath() + text.mid(1);
  if (QDir::isRelativePath(text)) {
    if (m_folder.empty())
      return m_openMessage->setText(placeless);
    text = QString::fromStdString(m_folder) + QLatin1Char('/') + text;
  }
  QFileInfo chosen(QDir::cleanPath(text));
  if (!chosen.isDir() && m_typed && !chosen.exists()) {
    const QString path = chosen.absoluteFilePath();
    m_openMessage->clear();
    if (QMessageBox::question(this, windowTitle(), QStringLiteral("Create folder %1?").arg(path)) !=
        QMessageBox::Yes)
      return;
    if (!QDir().mkpath(path))
      return m_openMessage->setText(QStringLiteral("The folder could not be made: %1").arg(path));
    chosen.refresh();
  }
  if (!chosen.isDir()) {
    if (!m_typed)
      OnNotify();  // the browsed folder may have gone: the field says so
    return m_openMessage->setText(m_folder.empty() && !m_typed
                                      ? placeless
                                      : QStringLiteral("Not a folder: %1").arg(chosen.filePath()));
  }
  m_folder = chosen.absoluteFilePath().toStdString();
  QDialog::accept();
}
