#include "ui/watched_start.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "ui/dialog_units.h"

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

// One that runs on, or hands the argument to another and ends well, is left alone.
void Watch(QWidget* window, qint64 pid, std::shared_ptr<QTemporaryFile> errors,
           std::function<QString(const QString&)> ended) {
  auto* watch = new QTimer(window);
  auto since = std::make_shared<QElapsedTimer>();
  since->start();
  QObject::connect(watch, &QTimer::timeout, window, [window, watch, since, errors, pid, ended] {
    const bool running = Alive(pid);
    if (running && since->elapsed() < 5000)
      return;
    watch->stop();  // the message below runs its own loop, in which the timer would come again
    watch->deleteLater();
    errors->seek(0);
    const QString said = QString::fromUtf8(errors->read(2000)).trimmed();
    if (!running && said.contains(QStringLiteral("(exit status ")))
      ShowPlainMessage(window, ended(said));
  });
  watch->start(100);
}

}  // namespace

QString StartWatched(QWidget* window, const QString& program, const QString& argument,
                     std::function<QString(const QString& said)> ended) {
  const QFileInfo found(QDir::isAbsolutePath(program) ? program
                                                      : QStandardPaths::findExecutable(program));
  if (!found.isFile() || !found.isExecutable()) {
    return found.exists() ? QStringLiteral("it is not a program it can run")
                          : QStringLiteral("no such file");
  }
  auto errors = std::make_shared<QTemporaryFile>(QDir::tempPath() + "/kelvane-start-XXXXXX");
  // Its exit status is known through a shell that waits for it; the shell reads no argument: the
  // program and its argument are handed over as its own arguments.
  QProcess process;
  process.setProgram(QStringLiteral("/bin/sh"));
  process.setArguments({QStringLiteral("-c"),
                        QStringLiteral("\"$0\" \"$1\"; s=$?; [ $s -eq 0 ] || echo \"(exit status "
                                       "$s)\" >&2; exit $s"),
                        found.filePath(), argument});
  if (errors->open())
    process.setStandardErrorFile(errors->fileName());
  qint64 pid = 0;
  if (!process.startDetached(&pid))
    return process.errorString();
  Watch(window, pid, errors, std::move(ended));
  return QString();
}
