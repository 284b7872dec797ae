#include "ui/preferences_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>

#include "support/settings_store.h"
#include "ui/copy_preferences.h"
#include "ui/dialog_units.h"
#include "ui/qt_text.h"
#include "ui/setting_keys.h"
#include "ui_preferences_dialog.h"

namespace {

const QString kProgramsFilter = QStringLiteral("Programs (*)");
const QString kAllFilesFilter = QStringLiteral("All files (*)");

}  // namespace

CPreferencesDialog::CPreferencesDialog(QWidget* parent)
    : QDialog(parent), m_ui(new Ui::PreferencesDialog) {
  m_ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  ApplyDialogUnits(this);
  m_templateSize = size();
  m_scroll = new QScrollArea(this);
  m_scroll->setFrameShape(QFrame::NoFrame);
  m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_copy = new CopyPreferencesSection(m_scroll);
  m_scroll->setWidget(m_copy);
  // The section's controls in the size of "Verbose mode" above them, and its title in that of
  // "Trace/Debug", so that like things look alike.
  const QFont controls = m_ui->verboseCheck->font();
  for (QWidget* child : m_copy->findChildren<QWidget*>()) {
    if (qobject_cast<QGroupBox*>(child) == nullptr)
      child->setFont(controls);
  }
  // Once the message has come or gone in its layout, which hears of it after the signal.
  connect(
      m_copy, &CopyPreferencesSection::RoomChanged, this, [this] { FitSection(); },
      Qt::QueuedConnection);
  // Fitted as it will be shown: polished, in the style's sizes.
  ensurePolished();
  FitSection();
  for (QPushButton* button : findChildren<QPushButton*>())
    button->setAutoDefault(false);
  m_browserPath = ReadSetting(kBrowserKey);
  m_verboseMode = ReadSetting(kVerboseKey) == "1" ? 1 : 0;
  UpdateData(false);
  connect(m_ui->browserButton, &QPushButton::clicked, this, [this] { ChooseBrowser(); });
  connect(m_ui->verboseCheck, &QCheckBox::clicked, this, [this] { ToggleVerbose(); });
  connect(m_ui->clearButton, &QPushButton::clicked, this, [this] { ClearBrowser(); });
}

void CPreferencesDialog::FitSection() {
  const int margin = DialogUnitsToPixelsX(this, 7);
  // A message that went makes its room go too.
  for (QLayout* layout : m_copy->findChildren<QLayout*>())
    layout->invalidate();
  m_copy->layout()->activate();
  const QSize section = m_copy->sizeHint();
  const int width = std::max(section.width(), m_templateSize.width() - 2 * margin);
  // A message wraps to the width it is given: the height is the one of that width, with no room
  // to spare between the rows.
  const int height = m_copy->layout()->hasHeightForWidth()
                         ? m_copy->layout()->totalHeightForWidth(width)
                         : section.height();
  m_copy->resize(width, height);
  // The screen's height less the window's frame and title, which the window manager adds.
  const QScreen* shownOn = screen();
  const int frame = style()->pixelMetric(QStyle::PM_TitleBarHeight) + 4 * margin;
  const int room = shownOn != nullptr ? shownOn->availableGeometry().height() - frame
                                      : m_templateSize.height() + height + margin;
  const int shown = std::max(std::min(height, room - m_templateSize.height() - margin),
                             std::min(height, 4 * margin));
  const int bar = shown < height ? style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0;
  m_scroll->setGeometry(margin, m_templateSize.height(), width + bar, shown);
  setFixedSize(std::max(m_templateSize.width(), width + bar + 2 * margin),
               m_templateSize.height() + shown + margin);
}

void CPreferencesDialog::done(int result) {
  if (QWidget* refused = m_copy->FirstRefused()) {
    m_scroll->ensureWidgetVisible(refused);
    refused->setFocus();
    return;
  }
  QDialog::done(result);
}

CPreferencesDialog::~CPreferencesDialog() {
  delete m_ui;
}

QWidget* CPreferencesDialog::ControlById(int id) const {
  for (QWidget* widget : findChildren<QWidget*>()) {
    if (widget->property("controlId").toInt() == id)
      return widget;
  }
  return nullptr;
}

void CPreferencesDialog::UpdateData(bool fromControls) {
  if (fromControls) {
    m_verboseMode = m_ui->verboseCheck->isChecked() ? 1 : 0;
  } else {
    m_ui->browserPathEdit->setText(ToQt(m_browserPath));
    m_ui->verboseCheck->setChecked(m_verboseMode == 1);
  }
}

void CPreferencesDialog::ChooseBrowser() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // Programs have no extension here: the first choice lists the executable files.
  QFileDialog chooser(this, QStringLiteral("Browser"));
  chooser.setOption(QFileDialog::DontUseNativeDialog, true);
  chooser.setFileMode(QFileDialog::ExistingFile);
  chooser.setAcceptMode(QFileDialog::AcceptOpen);
  chooser.setNameFilters({kProgramsFilter, kAllFilesFilter});
  // A filter on permissions hides folders too, whatever their bits: programs are told apart by
  // the dialog's own check once one is chosen, and folders stay listed.
  chooser.setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot);
  // Browsers are installed where programs are, or beside the one chosen before.
  chooser.setDirectory(m_browserPath.empty() ? QStringLiteral("/usr/bin")
                                             : QFileInfo(ToQt(m_browserPath)).absolutePath());
  FitDetailColumns(&chooser);
  FitWindowToScreen(&chooser);
  QApplication::restoreOverrideCursor();
  if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty()) {
    m_browserPath = chooser.selectedFiles().first().toStdString();
    UpdateData(false);
    WriteSetting(kBrowserKey, m_browserPath);
  }
}

void CPreferencesDialog::ToggleVerbose() {
  UpdateData(true);
  WriteSetting(kVerboseKey, m_verboseMode == 1 ? "1" : "0");
}

void CPreferencesDialog::ClearBrowser() {
  m_browserPath.clear();
  UpdateData(false);
  WriteSetting(kBrowserKey, "");
}
