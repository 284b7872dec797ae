#include "ui/online_help.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>

#include "ui/main_dialog.h"

namespace {

class Help : public ::testing::Test {
 protected:
  void SetUp() override {
    OnlineHelp::SetReaderLibraryName("libchm.so.1");
    OnlineHelp::SetHelpFileOverride(KELVANE_HELP_FILE);
    OnlineHelp::ResetForTesting();
  }
  void TearDown() override {
    OnlineHelp::SetReaderLibraryName("libchm.so.1");
    OnlineHelp::SetHelpFileOverride("");
    OnlineHelp::ResetForTesting();
  }
  // The "Help" button, pressed.
  static void PressHelp(CKelvaneDlg& dialog) {
    QTest::mouseClick(qobject_cast<QPushButton*>(dialog.ControlById(Control::HelpButton)),
                      Qt::LeftButton);
  }
  static int HelpWindows(CKelvaneDlg& dialog) {
    int shown = 0;
    for (CHelpWindow* window : dialog.findChildren<CHelpWindow*>())
      shown += window->isVisible();
    return shown;
  }
};

// Every press shows the default topic, wherever the reader had gone and whether or not the help
// window was closed since.
TEST_F(Help, EveryPressOpensTheDefaultTopicAndLoadsTheReaderOnce) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  PressHelp(dialog);
  EXPECT_EQ(OnlineHelp::LoadCount(), 1);
  ASSERT_EQ(HelpWindows(dialog), 1);
  CHelpWindow* help = dialog.findChild<CHelpWindow*>();
  const QUrl start = help->source();
  EXPECT_EQ(start.path().toStdString(), "/index.htm");
  // Away by the keyboard: Tab to the first link, Enter to follow it.
  help->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(help));
  QTest::keyClick(help, Qt::Key_Tab);
  QTest::keyClick(help, Qt::Key_Return);
  ASSERT_NE(help->source(), start);
  PressHelp(dialog);
  EXPECT_EQ(help->source(), start);
  help->close();
  PressHelp(dialog);
  EXPECT_EQ(HelpWindows(dialog), 1);
  EXPECT_EQ(help->source(), start);
  EXPECT_EQ(OnlineHelp::LoadCount(), 1);
}

TEST_F(Help, MissingReaderShowsNothingAndIsNeverLoadedAgain) {
  OnlineHelp::SetReaderLibraryName("libkelvane-no-such-reader.so.1");
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  PressHelp(dialog);
  PressHelp(dialog);
  EXPECT_TRUE(OnlineHelp::Failed());
  EXPECT_EQ(OnlineHelp::LoadCount(), 0);
  EXPECT_EQ(HelpWindows(dialog), 0);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  OnlineHelp::SetReaderLibraryName("libchm.so.1");
  PressHelp(dialog);  // the first failure is final
  EXPECT_EQ(OnlineHelp::LoadCount(), 0);
}

TEST_F(Help, MissingHelpFileShowsNothing) {
  OnlineHelp::SetHelpFileOverride("/nonexistent/Kelvane.chm");
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  PressHelp(dialog);
  EXPECT_EQ(HelpWindows(dialog), 0);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(Help, WindowOpensTheDefaultTopicFollowsLinksAndShowsPictures) {
  CHelpWindow window;
  ASSERT_TRUE(window.Open(KELVANE_HELP_FILE));
  EXPECT_EQ(window.DefaultTopic(), "index.htm");
  EXPECT_EQ(window.documentTitle().toStdString(), "Kelvane");
  EXPECT_NE(window.toPlainText().indexOf("Kelvane copies a web site"), -1);
  QVariant picture = window.document()->resource(QTextDocument::ImageResource,
                                                 window.source().resolved(QUrl("kelvane.png")));
  EXPECT_TRUE(picture.isValid());
  window.resize(640, 480);
  window.show();
  if (const char* out = std::getenv("KELVANE_HELP_SCREENSHOT"))
    window.grab().save(out);
  window.setSource(window.source().resolved(QUrl("window.htm")));
  EXPECT_EQ(window.documentTitle().toStdString(), "The window");
  window.setSource(window.source().resolved(QUrl("local-copy.htm")));
  EXPECT_NE(window.toPlainText().indexOf("~index.htm"), -1);
  EXPECT_FALSE(
      window.loadResource(QTextDocument::HtmlResource, QUrl("http://elsewhere/")).isValid());
}

}  // namespace
