// The main window's controls: their table, their sizes and texts, and its bars.
#include "window_fixture.h"

namespace {

TEST_F(Window, ControlTable) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Kelvane V1.3");
  struct {
    Control id;
    const char* kind;
    const char* caption;
    bool enabled;
  } controls[] = {
      {Control::DownloadButton, "QPushButton", "Download", true},
      {Control::MirrorDirectoryEdit, "QLineEdit", nullptr, false},
      {Control::FileProgress, "QProgressBar", nullptr, true},
      {Control::StatusLine, "QLabel", "", true},
      {Control::ActivityProgress, "QProgressBar", nullptr, true},
      {Control::StopButton, "QPushButton", "Stop", false},
      {Control::QueueProgress, "QProgressBar", nullptr, true},
      {Control::QueuedFilesEdit, "QLineEdit", "", false},
      {Control::ReadFilesEdit, "QLineEdit", "", false},
      {Control::HelpButton, "QPushButton", "Help", true},
      {Control::OptionsButton, "QPushButton", "Options", true},
      {Control::DownloadedFilesEdit, "QLineEdit", "", false},
      {Control::BrowseMirrorButton, "QPushButton", "Browse", false},
      {Control::BrowseUrlButton, "QPushButton", "Browse", false},
      {Control::SaveToButton, "QPushButton", "Save to", true},
      {Control::CurrentItemLabel, "QLabel", "", true},
      {Control::CurrentItemEdit, "QLineEdit", "", false},
      {Control::UrlCombo, "QComboBox", "", true},
      {Control::DeleteFromListButton, "QPushButton", "Delete from list", true},
  };
  for (const auto& c : controls) {
    QWidget* widget = dialog.ControlById(c.id);
    ASSERT_NE(widget, nullptr) << static_cast<int>(c.id);
    EXPECT_TRUE(widget->inherits(c.kind)) << static_cast<int>(c.id);
    if (c.caption != nullptr) {
      EXPECT_EQ(Text(widget), c.caption) << static_cast<int>(c.id);
    }
    EXPECT_EQ(widget->isEnabled(), c.enabled) << static_cast<int>(c.id);
  }
  EXPECT_TRUE(Button(dialog, Control::DownloadButton)->isDefault());
  QStringList labels;
  for (QLabel* label : dialog.findChildren<QLabel*>())
    labels << label->text();
  for (const char* caption : {"URL ", "Queued files", "Read Files  ", "Downloaded files "}) {
    EXPECT_TRUE(labels.contains(caption)) << caption;
  }
  // The template's order is the focus order.
  std::vector<int> chain;
  QWidget* start = dialog.ControlById(Control::DownloadButton);
  QWidget* widget = start;
  do {
    if (widget->property("controlId").isValid())
      chain.push_back(widget->property("controlId").toInt());
    widget = widget->nextInFocusChain();
  } while (widget != start && chain.size() < 40);
  EXPECT_EQ(chain, (std::vector<int>{1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 57670,
                                     1010, 1011, 1012, 1013, 1014, 1016, 1015, 1000, 1018}));
}

// In the main window and in Preferences: every control inside, no caption clipped, no two
// buttons touching, and one size of font for every label and button, whichever caption needed the
// smallest.
TEST_F(Window, NothingOverlapsAndEverythingFits) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  dialog.show();
  CPreferencesDialog preferences(nullptr);
  preferences.show();
  for (QDialog* window : std::initializer_list<QDialog*>{&dialog, &preferences}) {
    SCOPED_TRACE(window->objectName().toStdString());
    QRect area = window->rect();
    std::vector<QRect> buttons;
    std::set<qreal> captionSizes;
    for (QWidget* child : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      EXPECT_TRUE(area.contains(child->geometry())) << child->objectName().toStdString();
      if (auto* button = qobject_cast<QPushButton*>(child)) {
        int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 2 * margin,
                  button->width())
            << button->text().toStdString() << " is clipped";
        buttons.push_back(button->geometry());
      } else if (auto* label = qobject_cast<QLabel*>(child); label && !label->wordWrap()) {
        EXPECT_LE(label->sizeHint().width(), label->width())
            << label->text().toStdString() << " is clipped";
      }
      if (qobject_cast<QAbstractButton*>(child) != nullptr ||
          qobject_cast<QLabel*>(child) != nullptr)
        captionSizes.insert(child->font().pointSizeF());
    }
    for (size_t i = 0; i < buttons.size(); ++i) {
      for (size_t j = i + 1; j < buttons.size(); ++j)
        EXPECT_FALSE(buttons[i].adjusted(-1, -1, 1, 1).intersects(buttons[j])) << i << " " << j;
    }
    EXPECT_EQ(captionSizes.size(), 1u);
  }
  if (const char* out = std::getenv("KELVANE_SCREENSHOT"))
    dialog.grab().save(out);
}

// A status text longer than the line's box ends on whole lines, the last with an ellipsis, and
// the whole text is the tooltip; a long address in the URL box shows from its start after a
// restart, where its server is.
TEST_F(Window, LongTextsShowTheirStart) {
  const std::string path = "/" + std::string(120, 'x') + "/" + std::string(120, 'y') + "/";
  RawServer server(SiteHandler({{path, "page"}}));
  const std::string address = server.Url(path);
  {
    CKelvaneDlg dialog;
    Start(dialog);
    Type(dialog, address);
    Click(dialog, Control::DownloadButton);
    ASSERT_TRUE(WaitFor([&] { return Idle(dialog); }));
    auto* status = qobject_cast<QLabel*>(dialog.ControlById(Control::StatusLine));
    const std::string text = status->text().toStdString();
    EXPECT_TRUE(text.starts_with("Mkdir: " + m_saveTo.Path())) << text;
    status->grab();  // painted as a person sees it
    const QRect box = status->contentsRect();
    const QStringList lines = FitLines(status->text(), status->font(), box.width(), box.height());
    EXPECT_LE(lines.size() * status->fontMetrics().lineSpacing(), box.height());
    EXPECT_TRUE(lines.back().endsWith(QChar(0x2026))) << lines.back().toStdString();
    for (const QString& line : lines)
      EXPECT_LE(status->fontMetrics().horizontalAdvance(line), box.width());
    EXPECT_TRUE(status->toolTip().toStdString().starts_with(text + "\nLast crawl: "))
        << status->toolTip().toStdString();
    QTest::keyClick(&dialog, Qt::Key_Escape);
  }
  CKelvaneDlg restarted;
  Start(restarted);
  EXPECT_EQ(Combo(restarted)->currentText().toStdString(), address);
  EXPECT_EQ(Combo(restarted)->lineEdit()->cursorPosition(), 0);
}

TEST_F(Window, BarsShowEmptyForAnEmptyRangeAndClampThePosition) {
  CKelvaneDlg dialog;
  dialog.OnInitDialog();
  auto* file = qobject_cast<QProgressBar*>(dialog.ControlById(Control::FileProgress));
  dialog.SetProgressRange(Control::FileProgress, 0, 0);
  dialog.SetProgressPosition(Control::FileProgress, 500);
  EXPECT_GT(file->maximum(), file->minimum());  // not a busy indicator
  EXPECT_EQ(file->value(), 0);
  auto* activity = qobject_cast<QProgressBar*>(dialog.ControlById(Control::ActivityProgress));
  dialog.SetProgressRange(Control::ActivityProgress, 0, 16384);
  dialog.SetProgressPosition(Control::ActivityProgress, 17408);
  EXPECT_EQ(activity->value(), 16384);
  dialog.SetProgressPosition(Control::ActivityProgress, -1024);
  EXPECT_EQ(activity->value(), 0);
}

TEST_F(Window, PlacementRoundTripAndBadTextsIgnored) {
  {
    CKelvaneDlg dialog;
    Start(dialog);
    dialog.move(40, 30);
    Close(dialog);
  }
  std::string stored = ReadProfileString("Settings", "KelvaneDlg");
  EXPECT_TRUE(stored.starts_with("0,1,-1,-1,-1,-1,40,30,")) << stored;
  {
    CKelvaneDlg dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.pos(), QPoint(40, 30));
  }
  {  // kept from a larger screen: shown whole on this one
    const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
    WriteProfileString("Settings", "KelvaneDlg",
                       "0,1,-1,-1,-1,-1," + std::to_string(room.right() - 50) + "," +
                           std::to_string(room.bottom() - 50) + "," +
                           std::to_string(room.right() + 300) + "," +
                           std::to_string(room.bottom() + 300));
    CKelvaneDlg dialog;
    dialog.OnInitDialog();
    EXPECT_TRUE(room.contains(dialog.frameGeometry()))
        << dialog.frameGeometry().x() << "," << dialog.frameGeometry().y();
  }
  for (const char* bad :
       {"0,1,-1,-1,-1,-1,40,30,500", "0,1,-1,-1,-1,-1,x,30,500,400",
        "0,1,-1,-1,-1,-1,90000,90000,90500,90400", "0,1,-1,-1,-1,-1,500,400,40,30", ""}) {
    WriteProfileString("Settings", "KelvaneDlg", bad);
    CKelvaneDlg dialog;
    EXPECT_FALSE(dialog.LoadWindowPlacement()) << bad;
    Start(dialog);
    Close(dialog);
    EXPECT_TRUE(ReadProfileString("Settings", "KelvaneDlg").starts_with("0,1,-1,-1,-1,-1,")) << bad;
  }
}

}  // namespace
