// The generated site mirrored from the window, beside the console program on the same site.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "support/nginx_server.h"
#include "support/process.h"
#include "support/settings_store.h"
#include "support/site_generator.h"
#include "support/temp_dir.h"
#include "ui/main_dialog.h"
#include "ui_test_support.h"

namespace {

TEST(WindowEndToEnd, MirrorsTheGeneratedSiteLikeTheConsoleProgram) {
  ASSERT_TRUE(NginxServer::Available()) << "nginx is not installed";
  TempDir served;
  WriteTree(served.Path(), GenerateSite(150, 20261207));
  NginxServer nginx(served.Path());
  ASSERT_TRUE(nginx.Running());

  TempDir console;
  QElapsedTimer timer;
  timer.start();
  ProcessResult run =
      RunProcess({KELVANE_CLI_PATH, "--quiet", "--save-to", console.Path(), nginx.Url("/")});
  double cliSeconds = timer.nsecsElapsed() / 1e9;
  ASSERT_EQ(run.exitCode, 0) << run.err;

  TempDir window;
  WriteSetting("SOFTWARE\\ORTALUX\\Kelvane\\SaveTo\\", window.Path());
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  auto* combo = qobject_cast<QComboBox*>(dialog.ControlById(Control::UrlCombo));
  combo->setFocus();
  QTest::keyClicks(combo->lineEdit(), QString::fromStdString(nginx.Url("/")));
  auto* download = qobject_cast<QPushButton*>(dialog.ControlById(Control::DownloadButton));
  timer.restart();
  QTest::mouseClick(download, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return download->isEnabled() && !dialog.WorkerRunning(); }, 60000));
  double windowSeconds = timer.nsecsElapsed() / 1e9;
  std::printf("generated site: kelvane-cli %.3f s, window %.3f s\n", cliSeconds, windowSeconds);

  const std::string host = "/127.0.0.1:" + std::to_string(nginx.Port());
  Tree fromWindow = ReadTree(window.Path() + host);
  EXPECT_EQ(fromWindow.size(), 322u);
  EXPECT_TRUE(fromWindow == ReadTree(console.Path() + host));
}

}  // namespace
