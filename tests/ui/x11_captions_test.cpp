// The windows' captions as the X server has them, under a virtual display of the test's own:
// the program's own words, with nothing the toolkit appends on X11.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <regex>
#include <set>

#include "support/process.h"
#include "support/temp_dir.h"
#include "ui/directory_dialog.h"
#include "ui/kelvane_app.h"
#include "ui/main_dialog.h"
#include "ui/preferences_dialog.h"
#include "ui_test_support.h"

namespace {

// Every window name the X server knows, as xwininfo lists them.
std::set<std::string> WindowNames() {
  std::set<std::string> names;
  const std::string tree = RunProcess({"/usr/bin/xwininfo", "-root", "-tree"}).out;
  static const std::regex named(R"re(0x[0-9a-f]+ "([^"]*)":)re");
  for (auto it = std::sregex_iterator(tree.begin(), tree.end(), named);
       it != std::sregex_iterator(); ++it)
    names.insert((*it)[1].str());
  return names;
}

// Waits until the X server shows a window of that name, then gives every name it shows.
std::set<std::string> NamesOnceShown(const std::string& caption) {
  std::set<std::string> names;
  WaitFor(
      [&] {
        names = WindowNames();
        return names.count(caption) != 0;
      },
      5000);
  return names;
}

QPushButton* ButtonOf(CKelvaneDlg& dialog, Control control) {
  return qobject_cast<QPushButton*>(dialog.ControlById(control));
}

TEST(Captions, AreTheProgramsOwnOnX11) {
  TempDir saveTo;
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.m_saveToDirectory.Set(saveTo.Path());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  std::set<std::string> names = NamesOnceShown("Kelvane V1.3");

  AnswerNextModal<CPreferencesDialog>([&](CPreferencesDialog* preferences) {
    std::set<std::string> seen = NamesOnceShown("Preferences");
    names.insert(seen.begin(), seen.end());
    AnswerNextModal<QFileDialog>([&](QFileDialog* files) {
      std::set<std::string> browser = NamesOnceShown("Browser");
      names.insert(browser.begin(), browser.end());
      QTest::keyClick(files, Qt::Key_Escape);
    });
    QTest::mouseClick(qobject_cast<QPushButton*>(preferences->ControlById(1053)), Qt::LeftButton);
    QTest::keyClick(preferences, Qt::Key_Escape);
  });
  QTest::mouseClick(ButtonOf(dialog, Control::OptionsButton), Qt::LeftButton);

  AnswerNextModal<CDirectoryDialog>([&](CDirectoryDialog* chooser) {
    std::set<std::string> seen = NamesOnceShown("Find Directory");
    names.insert(seen.begin(), seen.end());
    QTest::keyClick(chooser, Qt::Key_Escape);
  });
  QTest::mouseClick(ButtonOf(dialog, Control::SaveToButton), Qt::LeftButton);

  // A crawl with no address ends with the one message box.
  AnswerNextModal<QMessageBox>([&](QMessageBox* box) {
    std::set<std::string> seen = NamesOnceShown("Kelvane");
    names.insert(seen.begin(), seen.end());
    // Wide enough for its caption beside a window manager's buttons, not cut to "Ke…ne".
    EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance("Kelvane") + 150);
    QTest::keyClick(box, Qt::Key_Return);
  });
  QTest::mouseClick(ButtonOf(dialog, Control::DownloadButton), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return ButtonOf(dialog, Control::DownloadButton)->isEnabled(); }));

  for (const char* caption :
       {"Kelvane V1.3", "Preferences", "Browser", "Find Directory", "Kelvane"})
    EXPECT_EQ(names.count(caption), 1u) << caption << " among " << ::testing::PrintToString(names);
  for (const std::string& name : names)
    EXPECT_EQ(name.find("\xE2\x80\x94"), std::string::npos) << name;  // " — Kelvane"
}

}  // namespace

// A display of the test's own: Xvfb says which once it is ready.
int main(int argc, char** argv) {
  int ready[2];
  if (pipe(ready) != 0)
    return 1;
  const pid_t server = fork();
  if (server == 0) {
    close(ready[0]);
    const std::string fd = std::to_string(ready[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
           "1024x768x24", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  std::string display;
  pollfd wait{ready[0], POLLIN, 0};
  char c = 0;
  while (poll(&wait, 1, 20000) == 1 && read(ready[0], &c, 1) == 1 && c != '\n')
    display += c;
  close(ready[0]);
  if (display.empty()) {
    std::fprintf(stderr, "Xvfb did not start (is the xvfb package installed?)\n");
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    return 1;
  }
  setenv("DISPLAY", (":" + display).c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  int result = 1;
  {
    CKelvaneApp application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  return result;
}
