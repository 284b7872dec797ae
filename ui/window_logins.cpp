// Logins a site asks for during a crawl with the web rules, asked of the person in the window.
#include <QCheckBox>
#include <QLineEdit>
#include <QThread>

#include "ui/dialog_units.h"
#include "ui/login_dialog.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"
#include "ui/secret_store.h"

namespace {

std::optional<CrawlDialog::Login> Typed(const QStringList& typed) {
  if (typed.size() != 2)
    return std::nullopt;
  return CrawlDialog::Login{typed[0].toStdString(), typed[1].toStdString()};
}

}  // namespace

std::optional<CrawlDialog::Login> CKelvaneDlg::AskLogin(const std::string& server,
                                                        const std::string& realm) {
  if (!m_asksLogins)
    return std::nullopt;
  if (QThread::currentThread() == thread())
    return Typed(AskLoginHere(ToQt(server), ToQt(realm)));
  {
    std::lock_guard lock(m_loginAnswer.mutex);
    m_loginAnswer.done = false;
    m_loginAnswer.login.reset();
  }
  // Called by name: what the worker made is copied by the call, never read from its stack here.
  QMetaObject::invokeMethod(this, "AskLoginForWorker", Qt::QueuedConnection,
                            Q_ARG(QString, ToQt(server)), Q_ARG(QString, ToQt(realm)));
  std::unique_lock lock(m_loginAnswer.mutex);
  m_loginAnswer.given.wait(lock, [&] { return m_loginAnswer.done; });
  return m_loginAnswer.login;
}

void CKelvaneDlg::AskLoginForWorker(const QString& server, const QString& realm) {
  std::optional<Login> login = Typed(AskLoginHere(server, realm));
  std::lock_guard lock(m_loginAnswer.mutex);
  m_loginAnswer.login = std::move(login);
  m_loginAnswer.done = true;
  m_loginAnswer.given.notify_one();
}

QStringList CKelvaneDlg::AskLoginHere(const QString& server, const QString& realm) {
  if (m_closing)
    return {};
  // Given in an earlier crawl of this window: not asked again.
  const std::string key = server.toStdString() + " " + realm.toStdString();
  if (const auto given = m_logins.find(key); given != m_logins.end())
    return {ToQt(given->second.user), ToQt(given->second.password)};
  CLoginDialog asking(server, realm, this);
  const std::optional<Login> kept = RecalledLogin(server, realm);
  if (kept) {
    asking.User()->setText(ToQt(kept->user));
    asking.Password()->setText(ToQt(kept->password));
    asking.Remember()->setChecked(true);
  }
  if (asking.exec() != QDialog::Accepted)
    return {};
  const Login login{asking.User()->text().toStdString(), asking.Password()->text().toStdString()};
  if (!asking.Remember()->isChecked()) {
    if (kept)
      ForgetLogin(server, realm);
  } else if (const QString error = KeepLogin(server, realm, login); !error.isEmpty()) {
    ShowPlainMessage(
        this,
        QStringLiteral("The login could not be kept in the desktop's secret store: %1").arg(error));
  }
  m_logins[key] = login;
  return {ToQt(login.user), ToQt(login.password)};
}
