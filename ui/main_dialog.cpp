#include "ui/main_dialog.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <filesystem>

#include "crawl/rules/mirror_paths.h"
#include "crawl/run/crawl.h"
#include "crawl/run/plan_start.h"
#include "platform/copy_server.h"
#include "support/settings_store.h"
#include "ui/copy_preferences.h"
#include "ui/crawl_report.h"
#include "ui/dialog_units.h"
#include "ui/directory_dialog.h"
#include "ui/online_help.h"
#include "ui/preferences_dialog.h"
#include "ui/qt_text.h"
#include "ui/setting_keys.h"
#include "ui/url_history.h"
#include "ui/window_geometry.h"
#include "ui/window_placement.h"
#include "ui_main_dialog.h"

namespace {

// Where the window and its files go when no save-to directory has been chosen yet.
std::string DefaultSaveToDirectory() {
  QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  if (downloads.isEmpty())
    downloads = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
  return downloads.toStdString();
}

}  // namespace

CKelvaneDlg::CKelvaneDlg(QWidget* parent) : QDialog(parent), m_ui(new Ui::MainDialog) {
  m_ui->setupUi(this);
  const int templateHeight = geometry().height();
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  ApplyDialogUnits(this);
  m_endRow = std::make_unique<CrawlEndRow>(this, templateHeight, m_ui->statusLine,
                                           [this] { ShowWhatHappened(); });
  for (QWidget* widget : findChildren<QWidget*>()) {
    QVariant id = widget->property("controlId");
    if (id.isValid())
      m_controlsById[id.toInt()] = widget;
  }
  for (QPushButton* button : findChildren<QPushButton*>())
    button->setAutoDefault(false);
  m_flushTimer.setSingleShot(true);
  connect(&m_flushTimer, &QTimer::timeout, this, [this] { Flush(); });
  m_ui->downloadButton->setDefault(true);
  m_history = std::make_unique<UrlHistory>(m_ui->urlCombo);
  // The combo box stands for its text field in focus matters, so its focus loss is the field's.
  m_ui->urlCombo->installEventFilter(this);
  m_ui->urlCombo->view()->installEventFilter(this);
  m_ui->statusLine->installEventFilter(this);
  MessageMap();

  g_mainDialog = this;
  m_stopRequested = 0;
  m_verbose = ReadSetting(kVerboseKey) == "1" ? 1 : 0;
  m_historyIndex = -1;
  std::string saveTo = ReadSetting(kSaveToKey);
  m_saveToDirectory.Set(saveTo.empty() ? DefaultSaveToDirectory() : saveTo);
  DeleteLog();
  m_icon = QIcon(QStringLiteral(":/kelvane/kelvane.svg"));
  for (int size : {16, 32, 48, 64, 128, 256}) {
    m_icon.addFile(QStringLiteral(":/kelvane/kelvane-%1.png").arg(size), QSize(size, size));
  }
}

CKelvaneDlg::~CKelvaneDlg() {
  if (m_workerThread.joinable()) {
    m_closing = true;
    m_stopRequested.fetch_add(1);
    WaitForWorker();
  }
  if (g_mainDialog == this)
    g_mainDialog = nullptr;
  delete m_ui;
}

void CKelvaneDlg::MessageMap() {
  connect(m_ui->downloadButton, &QPushButton::clicked, this, [this] { OnDownload(); });
  connect(m_ui->stopButton, &QPushButton::clicked, this, [this] { OnStop(); });
  connect(m_ui->helpButton, &QPushButton::clicked, this, [this] { ShowHelp(); });
  connect(m_ui->saveToButton, &QPushButton::clicked, this, [this] { ChooseSaveToDirectory(); });
  connect(m_ui->optionsButton, &QPushButton::clicked, this, [this] { OpenPreferences(); });
  connect(m_ui->browseUrlButton, &QPushButton::clicked, this, [this] {
    // No address, nothing to open: the browser is not started on an empty argument.
    if (!m_url.Get().empty())
      LaunchBrowser(m_url.Get());
  });
  connect(m_ui->browseMirrorButton, &QPushButton::clicked, this, [this] { BrowseCopy(); });
  connect(m_ui->deleteFromListButton, &QPushButton::clicked, this, [this] { DeleteCurrentUrl(); });
  // Focus loss of the URL box arrives through eventFilter.
  connect(m_ui->urlCombo->lineEdit(), &QLineEdit::textEdited, this,
          [this] { RefreshMirrorDirectory(); });
  // A pick in the list: a click or Enter there, or an arrow key on the closed box; a move by
  // key through the open list arrives as a highlight.
  connect(m_ui->urlCombo, qOverload<int>(&QComboBox::activated), this,
          [this](int position) { OnSelectionChanged(position); });
  connect(m_ui->urlCombo, qOverload<int>(&QComboBox::highlighted), this, [this](int position) {
    if (m_listKeyPressed)
      OnSelectionChanged(position);
  });
}

void CKelvaneDlg::PaintStatusLine() {
  PaintWholeLines(m_ui->statusLine, Summary());
}

bool CKelvaneDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_ui->statusLine && event->type() == QEvent::Paint) {
    PaintStatusLine();
    return true;
  }
  QComboBox* combo = m_ui->urlCombo;
  if (watched == combo && event->type() == QEvent::FocusOut &&
      static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
    CommitUrl();  // Tab, a click elsewhere, the window losing the focus
  } else if (watched == combo->view() && event->type() == QEvent::KeyPress) {
    // The mouse merely passing over the open list selects nothing; keys that move do.
    int key = static_cast<QKeyEvent*>(event)->key();
    m_listKeyPressed = key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp ||
                       key == Qt::Key_PageDown || key == Qt::Key_Home || key == Qt::Key_End;
  } else if (watched == combo->view() && event->type() == QEvent::KeyRelease) {
    m_listKeyPressed = false;
  }
  return QDialog::eventFilter(watched, event);
}

bool CKelvaneDlg::OnInitDialog() {
  DoDataExchange(false);
  setWindowIcon(m_icon);
  m_placementEntry = "KelvaneDlg";
  LoadWindowPlacement();
  m_historyIndex = m_history->Load();
  m_url.Set(m_history->Text().toStdString());
  m_mirrorDirectory.Set(MirrorDirectoryShown());
  // On a first start, the desktop's own browser; one cleared in Options stays cleared.
  if (!HasSetting(kBrowserKey)) {
    const QString desktop = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!desktop.isEmpty())
      WriteSetting(kBrowserKey, desktop.toStdString());
  }
  UpdateBrowseButtons();
  UpdateData(false);
  // A long address is shown from its start, where the server is.
  m_ui->urlCombo->lineEdit()->setCursorPosition(0);
  return true;
}

void CKelvaneDlg::DoDataExchange(bool fromControls) {
  m_queueProgress = m_ui->queueProgress;
  m_activityProgress = m_ui->activityProgress;
  m_fileProgress = m_ui->fileProgress;
  if (fromControls) {
    m_url.Set(m_ui->urlCombo->currentText().toStdString());
    m_mirrorDirectory.Set(m_ui->mirrorDirectoryEdit->text().toStdString());
  } else {
    m_ui->urlCombo->setEditText(ToQt(m_url.Get()));
    m_ui->mirrorDirectoryEdit->setText(ToQt(m_mirrorDirectory.Get()));
  }
}

QWidget* CKelvaneDlg::ControlById(Control control) const {
  auto found = m_controlsById.find(static_cast<int>(control));
  return found == m_controlsById.end() ? nullptr : found->second;
}

void CKelvaneDlg::OnDownload() {
  UpdateData(true);
  // The crawl takes the address and directory as they are now; later edits do not reach it.
  // The copy's preferences as they are now; none stored, the plan has every option off.
  // The last crawl ends its report after "Download" came back: what it said is shown first.
  if (m_workerThread.joinable()) {
    JoinWorker();
    CrawlOver();
  }
  CrawlPlan plan = ReadCopyPreferences();
  // Any option of the copy's preferences, each said in the archive's command line, is the web
  // rules' crawl, which says how it ended and what it did not save. It reads an address typed
  // without its scheme as http, as the web does, whichever option it is.
  const bool webRules = !plan.archive.commandLine.empty();
  CrawlStart start = PlanFromDialog(*this).start;
  if (const std::string url = TypedAddress(start.url, true); webRules && url != start.url)
    start = {url, MirrorDirectory(url, start.saveToDirectory), start.saveToDirectory};
  SetStart(plan, start);
  // The copy's options may write a package before any file: the folder is made first, and one
  // that cannot be is said, not crawled into.
  std::error_code made;
  if (webRules)
    std::filesystem::create_directories(plan.start.saveToDirectory, made);
  if (made)
    return ShowPlainMessage(this, QStringLiteral("The copy cannot be written in %1: %2")
                                      .arg(ToQt(plan.start.saveToDirectory), ToQt(made.message())));
  if (plan.archive.wacz == kArchiveBesideCopy)
    plan.archive.wacz = ArchiveBesideCopy(plan.start.localRoot);
  m_lastCrawl.Begin(!plan.scope.Empty(), plan.update, plan.convertLinks, plan.archive.wacz,
                    webRules ? plan.start.localRoot : std::string(), plan.start.url);
  m_endRow->Begin(webRules);
  m_asksLogins = webRules;
  m_renderedSaveTo = plan.render ? plan.start.saveToDirectory : std::string();
  m_crawledAddress = WithoutTypedLogin(m_url.Get());
  // "Download" comes back only with the last worker's end actions, after which that worker
  // waits for nothing from this thread: joining it here is short, and serves no input meanwhile.
  // It comes first: a "Stop" disabled by those end actions, queued after this press, would
  // otherwise be applied during the new crawl, which then could not be stopped.
  JoinWorker();
  EnableControl(Control::DownloadButton, false);
  EnableControl(Control::StopButton, true);
  m_workerDone = false;
  m_workerThread = std::thread([this, plan] { RunCrawl(*this, plan); });
}

void CKelvaneDlg::OnStop() {
  // A second stop also stops the conversion of the links of what was stored.
  m_stopRequested.fetch_add(1);
}

void CKelvaneDlg::OnDestroy() {
  SaveWindowPlacement();
  m_history->Save(m_historyIndex);
}

void CKelvaneDlg::done(int result) {
  if (m_closing)
    return;
  m_closing = true;
  // Hiding the window takes the focus from the URL box, which commits its text.
  if (m_ui->urlCombo->hasFocus())
    CommitUrl();
  // The worker must not outlive the window it reports to: stop it and serve it to its end.
  // Closed during a crawl, its copy is converted a while; during that, the conversion stops.
  if (m_workerThread.joinable()) {
    m_stopRequested.fetch_add(1);
    WaitForWorker();
  }
  OnDestroy();
  QDialog::done(result);
  m_closing = false;
}

bool CKelvaneDlg::OnWindowThread() const {
  return QThread::currentThread() == thread();
}

void CKelvaneDlg::WaitForWorker() {
  // Input waits: no "Download" and no second worker while this one ends.
  while (m_workerThread.joinable() && !m_workerDone) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::WaitForMoreEvents);
  }
  Flush();
  JoinWorker();
}

void CKelvaneDlg::JoinWorker() {
  if (m_workerThread.joinable())
    m_workerThread.join();
}

void CKelvaneDlg::FileDone(const FileOutcome& outcome) {
  m_lastCrawl.FileDone(outcome);
}

void CKelvaneDlg::CrawlEnded(const CrawlOutcome& ending) {
  m_lastCrawl.Ended(ending);
}

QString CKelvaneDlg::Summary() const {
  return m_lastCrawl.Summary();
}

void CKelvaneDlg::WorkerEnded() {
  m_workerDone = true;
  QMetaObject::invokeMethod(this, "OnWorkerEnded", Qt::QueuedConnection);
}

void CKelvaneDlg::OnWorkerEnded() {
  Flush();
  // A notice that arrives after the next crawl has begun is that crawl's business, not this one.
  if (m_workerDone) {
    // Joined already where "Download" came first, which took its end then.
    if (m_workerThread.joinable()) {
      JoinWorker();
      CrawlOver();
    }
    emit workerFinished();
  }
}

void CKelvaneDlg::CrawlOver() {
  m_endRow->Show(m_lastCrawl.EndLine());
  RememberCopy();
  if (const QString problem = m_lastCrawl.Problem(); !problem.isEmpty())
    ShowMessageBoxHere(problem);
}

void CKelvaneDlg::ShowWhatHappened() {
  CrawlReportDialog report(m_lastCrawl.Failures(), m_lastCrawl.CopyDirectory(), this);
  report.exec();
}

void CKelvaneDlg::Queue(Control control,
                        const std::function<void(ControlUpdates::Change&)>& change) {
  if (m_updates.Add(control, change))
    QMetaObject::invokeMethod(this, "ScheduleFlush", Qt::QueuedConnection);
}

// A worker reports many times per file; showing each report would spend more time painting the
// window than crawling. Reports are shown at most once per frame, the latest of each control.
void CKelvaneDlg::ScheduleFlush() {
  constexpr qint64 kFrameMs = 16;
  qint64 since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : kFrameMs;
  if (since >= kFrameMs) {
    Flush();
  } else if (!m_flushTimer.isActive()) {
    m_flushTimer.start(static_cast<int>(kFrameMs - since));
  }
}

void CKelvaneDlg::Flush() {
  m_flushTimer.stop();
  m_sinceFlush.start();
  for (const auto& [control, change] : m_updates.Take())
    Apply(control, change);
}

void CKelvaneDlg::Apply(Control control, const ControlUpdates::Change& change) {
  if (QWidget* widget = ControlById(control))
    m_updates.Apply(widget, control, change);
}

void CKelvaneDlg::SetControlText(Control control, const std::string& text) {
  if (OnWindowThread()) {
    Flush();
    Apply(control, ControlUpdates::Change{text, {}, {}, {}});
    return;
  }
  Queue(control, [&](ControlUpdates::Change& p) { p.text = text; });
}

void CKelvaneDlg::SetProgressRange(Control bar, int low, int high) {
  if (OnWindowThread()) {
    Flush();
    Apply(bar, ControlUpdates::Change{{}, std::pair(low, high), {}, {}});
    return;
  }
  Queue(bar, [&](ControlUpdates::Change& p) { p.range = std::pair(low, high); });
}

void CKelvaneDlg::SetProgressPosition(Control bar, int position) {
  if (OnWindowThread()) {
    Flush();
    Apply(bar, ControlUpdates::Change{{}, {}, position, {}});
    return;
  }
  Queue(bar, [&](ControlUpdates::Change& p) { p.position = position; });
}

void CKelvaneDlg::EnableControl(Control control, bool enabled) {
  if (OnWindowThread()) {
    Flush();
    Apply(control, ControlUpdates::Change{{}, {}, {}, enabled});
    return;
  }
  Queue(control, [&](ControlUpdates::Change& p) { p.enabled = enabled; });
}

void CKelvaneDlg::ShowMessageBox(const std::string& text) {
  if (OnWindowThread()) {
    ShowMessageBoxHere(ToQt(text));
  } else {
    QMetaObject::invokeMethod(this, "ShowMessageBoxHere", Qt::BlockingQueuedConnection,
                              Q_ARG(QString, ToQt(text)));
  }
}

void CKelvaneDlg::ShowMessageBoxHere(const QString& text) {
  Flush();
  // The window is closing and the crawl has been stopped: nobody is left to read the message.
  if (m_closing)
    return;
  ShowPlainMessage(this, text);
}

bool CKelvaneDlg::LoadWindowPlacement() {
  if (m_placementEntry.empty())
    return false;
  std::optional<WindowPlacement> placement =
      ParseWindowPlacement(ReadProfileString("Settings", m_placementEntry));
  return placement && PlaceWindow(this, *placement);
}

void CKelvaneDlg::SaveWindowPlacement() {
  if (!m_placementEntry.empty())
    WriteProfileString("Settings", m_placementEntry, FormatWindowPlacement(PlacementOf(this)));
}

void CKelvaneDlg::CommitUrl() {
  m_url.Set(m_history->Text().toStdString());
  m_historyIndex = m_history->Commit(m_history->Text());
  RefreshMirrorDirectory();
}

void CKelvaneDlg::OnSelectionChanged(int position) {
  if (position >= 0 && position < m_history->Count()) {
    m_url.Set(m_history->Entry(position).toStdString());
    m_history->SetText(m_history->Entry(position));
    m_historyIndex = position;
  }
  RefreshMirrorDirectory();
}

void CKelvaneDlg::RefreshMirrorDirectory() {
  m_url.Set(m_history->Text().toStdString());
  m_mirrorDirectory.Set(MirrorDirectoryShown());
  m_ui->mirrorDirectoryEdit->setText(ToQt(m_mirrorDirectory.Get()));
}

void CKelvaneDlg::DeleteCurrentUrl() {
  if (m_history->Delete(m_history->Text()))
    CommitUrl();
}

void CKelvaneDlg::ChooseSaveToDirectory() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  CDirectoryDialog chooser(m_saveToDirectory.Get(), this);
  QApplication::restoreOverrideCursor();
  if (chooser.exec() == QDialog::Accepted && !chooser.m_folder.empty()) {
    m_saveToDirectory.Set(chooser.m_folder);
    WriteSetting(kSaveToKey, m_saveToDirectory.Get());
    m_mirrorDirectory.Set(MirrorDirectoryShown());
    UpdateData(false);
  }
}

void CKelvaneDlg::OpenPreferences() {
  {
    CPreferencesDialog preferences(this);
    preferences.exec();
  }
  m_verbose = ReadSetting(kVerboseKey) == "1" ? 1 : 0;
  UpdateBrowseButtons();
  RefreshMirrorDirectory();  // the copy's names may have changed
}

void CKelvaneDlg::ShowHelp() {
  if (!OnlineHelp::LoadReader())
    return;
  const std::string file = OnlineHelp::FindHelpFile();
  if (file.empty())
    return;
  auto* window = findChild<CHelpWindow*>();
  if (window == nullptr) {
    window = new CHelpWindow;
    window->setParent(this, Qt::Window);
    // Never larger than the screen, which a large scale would make it.
    const QRect room = screen()->availableGeometry();
    window->resize(std::min(640, room.width() * 9 / 10), std::min(480, room.height() * 9 / 10));
    window->move(room.center() - window->rect().center());
    if (!window->Open(file)) {
      delete window;
      return;
    }
  }
  // Every press starts from the default topic, wherever the reader had gone since.
  window->ShowDefaultTopic();
  window->show();
  window->raise();
}
