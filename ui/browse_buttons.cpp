// The window's two Browse buttons: the address, and the copy, in the browser Options name.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>
#include <memory>

#include <unistd.h>

#include "platform/copy_server.h"
#include "support/settings_store.h"
#include "ui/copy_preferences.h"
#include "ui/dialog_units.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"
#include "ui/setting_keys.h"
#include "ui/url_history.h"
#include "ui_main_dialog.h"

namespace {

// Whether a process runs: one that ended and waits to be reaped (a zombie) does not.
bool Alive(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly))
    return false;
  const QByteArray line = stat.read(4096);
  const qsizetype state = line.lastIndexOf(") ") + 2;
  return state > 1 && state < line.size() && line[state] != 'Z' && line[state] != 'X';
}

// A browser that ends at once with a failure is said, with what it said. One that runs on, or
// hands the address to another and ends well, is left alone.
void WatchBrowser(QWidget* window, qint64 pid, std::shared_ptr<QTemporaryFile> errors,
                  const QString& browser) {
  auto* watch = new QTimer(window);
  auto since = std::make_shared<QElapsedTimer>();
  since->start();
  QObject::connect(watch, &QTimer::timeout, window, [window, watch, since, errors, pid, browser] {
    const bool running = Alive(pid);
    if (running && since->elapsed() < 5000)
      return;
    watch->stop();  // the message below runs its own loop, in which the timer would come again
    watch->deleteLater();
    errors->seek(0);
    const QString said = QString::fromUtf8(errors->read(2000)).trimmed();
    if (running || !said.contains(QStringLiteral("(exit status ")))
      return;
    QString text = QStringLiteral("The browser %1 ended at once: %2").arg(browser, said);
    if (said.contains(QStringLiteral("--no-sandbox")) && ::geteuid() == 0)
      text += QStringLiteral(
          "\n\nChromium does not run as root. Start Kelvane as your own user, or name in Options a "
          "script that starts Chromium with --no-sandbox.");
    ShowPlainMessage(window, text);
  });
  watch->start(100);
}

}  // namespace

void CKelvaneDlg::UpdateBrowseButtons() {
  bool browser = !ReadSetting(kBrowserKey).empty();
  EnableControl(Control::BrowseUrlButton, browser);
  EnableControl(Control::BrowseMirrorButton, browser);
  const QString none = QStringLiteral("Choose a browser in Options first");
  m_ui->browseUrlButton->setToolTip(browser ? QStringLiteral("Open the address in the browser")
                                            : none);
  m_ui->browseMirrorButton->setToolTip(browser ? QStringLiteral("Open the copy in the browser")
                                               : none);
}

std::string CKelvaneDlg::BrowserCommandLine(const std::string& browser,
                                            const std::string& argument) {
  return browser + " " + argument;
}

void CKelvaneDlg::RememberCopy() {
  const std::string page =
      m_lastCrawl.EndLine().isEmpty() ? std::string() : m_lastCrawl.StartPage();
  // The plain crawl writes no setting of its own: it only forgets an earlier crawl's.
  if (page.empty() && ReadSetting(kLastCopyKey + "Address").empty())
    return;
  WriteSetting(kLastCopyKey + "Address", page.empty() ? std::string() : m_crawledAddress);
  WriteSetting(kLastCopyKey + "StartPage", page);
  WriteSetting(kLastCopyKey + "Served", page.empty() ? std::string() : m_renderedSaveTo);
}

void CKelvaneDlg::BrowseCopy() {
  // The start page a crawl with the web rules stored for this address, under the names it used
  // (Windows names, -E, a default page), also after a restart; otherwise the copy's directory.
  const std::string address = ReadSetting(kLastCopyKey + "Address");
  const std::string page = ReadSetting(kLastCopyKey + "StartPage");
  if (address.empty() || address != WithoutTypedLogin(m_url.Get()) ||
      !page.starts_with(m_saveToDirectory.Get() + "/") || !QFileInfo::exists(ToQt(page)))
    return LaunchBrowser(m_mirrorDirectory.Get());
  // A copy whose pages ran their scripts opens over http: from disk a browser refuses its
  // workers, fetches and module scripts.
  m_renderedSaveTo = ReadSetting(kLastCopyKey + "Served");
  if (!m_renderedSaveTo.empty()) {
    if (const std::string served = ServedAddress(page); !served.empty())
      return LaunchBrowser(served);
  }
  LaunchBrowser(page);
}

std::string CKelvaneDlg::ServedAddress(const std::string& page) {
  const std::string& root = m_renderedSaveTo;
  if (!page.starts_with(root + "/"))
    return {};
  if (!m_copyServer || m_copyServer->Directory() != root) {
    m_copyServer.reset();
    auto server = std::make_unique<CopyServer>(root);
    std::string why;
    // Without a port to serve on, the copy still opens from disk.
    if (!server->Start(why))
      return {};
    m_copyServer = std::move(server);
  }
  return m_copyServer->AddressOf(page.substr(root.size() + 1));
}

void CKelvaneDlg::LaunchBrowser(const std::string& argument) {
  // BrowserCommandLine is the text of this start; the program gets the argument as it is, never
  // read by a shell, so no character of an address can run a command.
  const QString browser = ToQt(ReadSetting(kBrowserKey));
  // Without any option of the copy's, a browser that cannot start fails silently, as it always
  // did; with them, what went wrong is said.
  if (ReadCopyPreferences().archive.commandLine.empty()) {
    QProcess::startDetached(browser, {ToQt(argument)});
    return;
  }
  // A name without a path is looked for on PATH, as the plain start does.
  const QFileInfo program(QDir::isAbsolutePath(browser) ? browser
                                                        : QStandardPaths::findExecutable(browser));
  auto errors = std::make_shared<QTemporaryFile>(QDir::tempPath() + "/kelvane-browser-XXXXXX");
  // Its exit status is known through a shell that waits for it; the shell reads no address: the
  // browser and its argument are handed over as its own arguments.
  QProcess process;
  process.setProgram(QStringLiteral("/bin/sh"));
  process.setArguments({QStringLiteral("-c"),
                        QStringLiteral("\"$0\" \"$1\"; s=$?; [ $s -eq 0 ] || echo \"(exit status "
                                       "$s)\" >&2; exit $s"),
                        program.filePath(), ToQt(argument)});
  if (errors->open())
    process.setStandardErrorFile(errors->fileName());
  qint64 pid = 0;
  if (!program.isFile() || !program.isExecutable() || !process.startDetached(&pid)) {
    return ShowPlainMessage(
        this, QStringLiteral("The browser %1 could not be started: %2")
                  .arg(browser, program.exists() ? QStringLiteral("it is not a program it can run")
                                                 : QStringLiteral("no such file")));
  }
  WatchBrowser(this, pid, errors, browser);
}
