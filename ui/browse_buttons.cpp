// The window's two Browse buttons: the address, and the copy, in the browser Options name.
#include <QFileInfo>
#include <QProcess>

#include "platform/copy_server.h"
#include "support/settings_store.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"
#include "ui/setting_keys.h"
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

void CKelvaneDlg::BrowseCopy() {
  const std::string mirror = m_mirrorDirectory.Get();
  auto inCopy = [&](const std::string& page) {
    return !page.empty() && page.starts_with(mirror + "/") && QFileInfo::exists(ToQt(page));
  };
  // A copy whose pages ran their scripts opens over http: from disk a browser refuses its
  // workers, fetches and module scripts.
  const std::string startPage = m_lastCrawl.StartPage();
  if (!m_renderedSaveTo.empty() && inCopy(startPage)) {
    if (const std::string served = ServedAddress(startPage); !served.empty())
      return LaunchBrowser(served);
  }
  // A copy whose links were converted opens at its start page, while it is the copy the
  // window names; otherwise its directory.
  const std::string converted = m_lastCrawl.ConvertedStartPage();
  LaunchBrowser(inCopy(converted) ? converted : mirror);
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
  // through a shell, so no character of an address can run a command.
  const std::string browser = ReadSetting(kBrowserKey);
  QProcess::startDetached(ToQt(browser), {ToQt(argument)});
}
