// The windows' captions as the X server has them, under a virtual display of the test's own:
// the program's own words, with nothing the toolkit appends on X11.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <regex>
#include <set>

#include "support/process.h"
#include "support/temp_dir.h"
#include "ui/copy_preferences.h"
#include "ui/directory_dialog.h"
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

// At the scale this run is given, on a 1024x768 screen: every control of the window is on the
// screen, and so is every field of Preferences as Tab reaches it, four of them holding refused
// values (the section scrolls to the field that has the focus).
TEST(Screen, WindowAndPreferencesFitAtThisScale) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  const QRect screen = dialog.screen()->availableGeometry();
  auto placeOf = [](const QWidget* widget) {
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
  };
  for (const QWidget* child : dialog.findChildren<QWidget*>()) {
    if (child->isVisible() && child->window() == &dialog) {
      EXPECT_TRUE(screen.contains(placeOf(child))) << child->objectName().toStdString();
    }
  }
  AnswerNextModal<CPreferencesDialog>([&](CPreferencesDialog* preferences) {
    CopyPreferencesSection* copy = preferences->CopySection();
    EXPECT_TRUE(screen.contains(preferences->frameGeometry()));
    const std::vector<std::pair<std::string, const char*>> refused = {
        {"Jobs", "100"}, {"Level", "x"}, {"Wait", "1,5"}, {"LimitRate", "0"}};
    QWidget* first = copy->ControlFor(refused.front().first);
    QTest::mouseClick(first, Qt::LeftButton);
    // Tab from field to field, as a person goes down the section, typing where a value is
    // refused; every stop is seen whole on the screen.
    std::vector<QWidget*> reached;
    for (QWidget* at = first; reached.size() < 64;) {
      reached.push_back(at);
      for (const auto& [key, text] : refused) {
        if (copy->ControlFor(key) == at) {
          QTest::keyClicks(at, text);
          EXPECT_TRUE(copy->Message(key)->isVisible()) << key;
        }
      }
      const QRect viewport(copy->parentWidget()->mapToGlobal(QPoint(0, 0)),
                           copy->parentWidget()->size());
      EXPECT_TRUE(screen.contains(viewport.intersected(placeOf(at))) &&
                  viewport.contains(placeOf(at)))
          << at->objectName().toStdString();
      QTest::keyClick(at, Qt::Key_Tab);
      at = preferences->focusWidget();
      if (at == first || !copy->isAncestorOf(at))
        break;
    }
    EXPECT_GE(reached.size(), CopyPreferences().size());
    EXPECT_TRUE(screen.contains(preferences->frameGeometry()));
    // Emptied, the refused values let the dialog close.
    for (const auto& [key, text] : refused) {
      QWidget* field = copy->ControlFor(key);
      QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClick(field, Qt::Key_Backspace);
    }
    QTest::keyClick(preferences, Qt::Key_Escape);
  });
  QTest::mouseClick(qobject_cast<QPushButton*>(dialog.ControlById(Control::OptionsButton)),
                    Qt::LeftButton);
  EXPECT_TRUE(WaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 15000));
}

}  // namespace
