// Logins a site asks for during a crawl with the web rules, asked of the person in the window.
#include <QLineEdit>
#include <QThread>

#include "ui/login_dialog.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"

std::optional<CrawlDialog::Login> CKelvaneDlg::AskLogin(const std::string& server,
                                                        const std::string& realm) {
  if (!m_asksLogins)
    return std::nullopt;
  QStringList typed;
  if (QThread::currentThread() == thread())
    typed = AskLoginHere(ToQt(server), ToQt(realm));
  else
    QMetaObject::invokeMethod(this, "AskLoginHere", Qt::BlockingQueuedConnection,
                              Q_RETURN_ARG(QStringList, typed), Q_ARG(QString, ToQt(server)),
                              Q_ARG(QString, ToQt(realm)));
  if (typed.size() != 2)
    return std::nullopt;
  return Login{typed[0].toStdString(), typed[1].toStdString()};
}

QStringList CKelvaneDlg::AskLoginHere(const QString& server, const QString& realm) {
  if (m_closing)
    return {};
  CLoginDialog asking(server, realm, this);
  if (asking.exec() != QDialog::Accepted)
    return {};
  const Login login{asking.User()->text().toStdString(), asking.Password()->text().toStdString()};
  m_logins[server.toStdString()] = login;
  return {ToQt(login.user), ToQt(login.password)};
}
