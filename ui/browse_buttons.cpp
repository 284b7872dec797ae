// The window's two Browse buttons: the address, and the copy, in the browser Options name.
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

#include <filesystem>

#include "crawl/rules/crawl_rules.h"
#include "crawl/rules/mirror_paths.h"
#include "crawl/run/crawl.h"
#include "crawl/run/plan_start.h"
#include "platform/copy_server.h"
#include "platform/url_resolve.h"
#include "support/settings_store.h"
#include "ui/copy_preferences.h"
#include "ui/dialog_units.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"
#include "ui/setting_keys.h"
#include "ui/url_history.h"
#include "ui/watched_start.h"
#include "ui_main_dialog.h"

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

std::string CKelvaneDlg::MirrorDirectoryShown() const {
  const std::string typed = WithoutTypedLogin(m_url.Get());
  const std::string& saveTo = m_saveToDirectory.Get();
  const std::string described = MirrorDirectory(typed, saveTo);
  CrawlPlan plan = ReadCopyPreferences();
  const std::string url = TypedAddress(typed, true);
  if (plan.archive.commandLine.empty() || !IsHttpUrl(url))
    return described;
  SetStart(plan, {url, MirrorDirectory(url, saveTo), saveTo});
  const std::string start = ResolveLink(plan.start.url, plan.start.url).value_or(plan.start.url);
  const std::string page = RulesOf(plan)->Place(start.substr(0, start.rfind('/')), start).localPath;
  return page.empty() ? described : std::filesystem::path(page).parent_path().string();
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
      !page.starts_with(m_saveToDirectory.Get() + "/") || !QFileInfo::exists(ToQt(page))) {
    // With the copy's options, a copy that is not on the disk is said, not handed to a browser.
    if (!ReadCopyPreferences().archive.commandLine.empty() &&
        !QFileInfo::exists(ToQt(m_mirrorDirectory.Get())))
      return ShowPlainMessage(
          this, QStringLiteral("There is no copy in %1 yet").arg(ToQt(m_mirrorDirectory.Get())));
    return LaunchBrowser(m_mirrorDirectory.Get());
  }
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
  const QString why = StartWatched(this, browser, ToQt(argument), [browser](const QString& said) {
    QString text = QStringLiteral("The browser %1 ended at once: %2").arg(browser, said);
    if (said.contains(QStringLiteral("--no-sandbox")) && ::geteuid() == 0)
      text += QStringLiteral(
          "\n\nChromium does not run as root. Start Kelvane as your own user, or name in Options a "
          "script that starts Chromium with --no-sandbox.");
    return text;
  });
  if (!why.isEmpty())
    ShowPlainMessage(this,
                     QStringLiteral("The browser %1 could not be started: %2").arg(browser, why));
}
