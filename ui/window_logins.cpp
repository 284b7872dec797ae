// Logins a site asks for during a crawl with the web rules, asked of the person in the window.
#include <QLineEdit>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "ui/login_dialog.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"

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
  // The answer comes back under a lock of the standard library's, which the thread checker sees;
  // the window serves the call, as it serves a message box, until the worker has it.
  struct Answer {
    std::mutex mutex;
    std::condition_variable given;
    bool done = false;
    std::optional<Login> login;
  };
  auto answer = std::make_shared<Answer>();
  QMetaObject::invokeMethod(
      this,
      [this, answer, server, realm] {
        std::optional<Login> login = Typed(AskLoginHere(ToQt(server), ToQt(realm)));
        std::lock_guard lock(answer->mutex);
        answer->login = std::move(login);
        answer->done = true;
        answer->given.notify_one();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(answer->mutex);
  answer->given.wait(lock, [&] { return answer->done; });
  return answer->login;
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
