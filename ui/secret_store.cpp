#include "ui/secret_store.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QTimer>
#include <memory>

namespace {

// The store answers over the desktop's bus: within moments, or not at all.
constexpr int kStoreWaitMs = 10000;

QString KeyOf(const QString& server, const QString& realm) {
  return server + QLatin1Char(' ') + realm;
}

struct Ended {
  bool done = false;
  QKeychain::Error error = QKeychain::OtherError;
  QString errorText = QStringLiteral("the secret store did not answer");
  QString text;
};

// Runs a job of the store and waits for its end. The job deletes itself when it ends, also after
// a wait given up: the store may call back late, and it must find the job still there.
Ended Run(QKeychain::Job* job) {
  auto ended = std::make_shared<Ended>();
  QEventLoop loop;
  QObject::connect(job, &QKeychain::Job::finished, &loop, [&loop, ended](QKeychain::Job* done) {
    ended->done = true;
    ended->error = done->error();
    ended->errorText = done->errorString();
    if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
      ended->text = read->textData();
    loop.quit();
  });
  QTimer::singleShot(kStoreWaitMs, &loop, &QEventLoop::quit);
  job->setAutoDelete(true);
  job->start();
  if (!ended->done)
    loop.exec();
  return *ended;
}

const QString kService = QStringLiteral("Kelvane");

}  // namespace

std::optional<CrawlDialog::Login> RecalledLogin(const QString& server, const QString& realm) {
  auto* job = new QKeychain::ReadPasswordJob(kService);
  job->setKey(KeyOf(server, realm));
  const Ended ended = Run(job);
  // The user is kept before the first line break, which no typed user holds.
  const qsizetype lineBreak = ended.text.indexOf(QLatin1Char('\n'));
  if (!ended.done || ended.error != QKeychain::NoError || lineBreak < 0)
    return std::nullopt;
  return CrawlDialog::Login{ended.text.left(lineBreak).toStdString(),
                            ended.text.mid(lineBreak + 1).toStdString()};
}

QString KeepLogin(const QString& server, const QString& realm, const CrawlDialog::Login& login) {
  auto* job = new QKeychain::WritePasswordJob(kService);
  job->setKey(KeyOf(server, realm));
  job->setTextData(QString::fromStdString(login.user) + QLatin1Char('\n') +
                   QString::fromStdString(login.password));
  const Ended ended = Run(job);
  return ended.done && ended.error == QKeychain::NoError ? QString() : ended.errorText;
}

void ForgetLogin(const QString& server, const QString& realm) {
  auto* job = new QKeychain::DeletePasswordJob(kService);
  job->setKey(KeyOf(server, realm));
  Run(job);
}
