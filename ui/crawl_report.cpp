#include "ui/crawl_report.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/dialog_units.h"
#include "ui/qt_text.h"
#include "ui/watched_start.h"
#include "ui/window_geometry.h"

namespace {

constexpr int kRowHeight = 16;  // dialog units: a button's row

}  // namespace

CrawlEndRow::CrawlEndRow(QDialog* window, int templateHeight, const QWidget* like,
                         std::function<void()> whatHappened)
    : m_window(window),
      m_templateHeight(templateHeight),
      m_like(like),
      m_whatHappened(std::move(whatHappened)) {}

void CrawlEndRow::Make() {
  m_line = new QLabel(m_window);
  m_button = new QPushButton(QStringLiteral("What happened"), m_window);
  m_line->setObjectName(QStringLiteral("crawlEndLine"));
  m_button->setObjectName(QStringLiteral("whatHappenedButton"));
  m_line->setFont(m_like->font());
  m_button->setFont(m_like->font());
  m_button->setAutoDefault(false);
  m_line->setTextFormat(Qt::PlainText);
  m_line->setTextInteractionFlags(Qt::TextSelectableByMouse);
  const int margin = m_button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, m_button);
  const int buttonWidth =
      m_button->fontMetrics().horizontalAdvance(m_button->text()) + 2 * margin + 8;
  const int right = DialogUnitsToPixelsX(m_window, 312);
  const int top = DialogUnitsToPixelsY(m_window, m_templateHeight - 2);
  const int height = DialogUnitsToPixelsY(m_window, 14);
  const int left = DialogUnitsToPixelsX(m_window, 7);
  m_button->setGeometry(right - buttonWidth, top, buttonWidth, height);
  m_line->setGeometry(left, top, right - buttonWidth - left - DialogUnitsToPixelsX(m_window, 4),
                      height);
  QObject::connect(m_button, &QPushButton::clicked, m_window, [this] { m_whatHappened(); });
}

void CrawlEndRow::Show(const QString& line) {
  const bool shown = !line.isEmpty();
  if (!shown && m_line == nullptr)
    return;
  if (m_line == nullptr)
    Make();
  // A line longer than its room keeps its counts whole: how the crawl ended gives up its end,
  // to a third of the room at most, and the directory its middle; the whole line is the tooltip.
  const QFontMetrics metrics = m_line->fontMetrics();
  const int room = m_line->width();
  const qsizetype colon = line.indexOf(QStringLiteral(": "));
  const qsizetype in = line.lastIndexOf(QStringLiteral(", in /"));
  QString text = line;
  if (metrics.horizontalAdvance(line) > room && colon > 0) {
    const QString how = metrics.horizontalAdvance(line.left(colon)) > room / 3
                            ? metrics.elidedText(line.left(colon), Qt::ElideRight, room / 3)
                            : line.left(colon);
    const QString counts = line.mid(colon, (in > colon ? in : line.size()) - colon);
    const int left = room - metrics.horizontalAdvance(how + counts);
    text = how + counts +
           (in > colon && left > 0 ? metrics.elidedText(line.mid(in), Qt::ElideMiddle, left)
                                   : QString());
    text = metrics.elidedText(text, Qt::ElideRight, room);
  }
  m_line->setText(text);
  m_line->setToolTip(line);
  m_line->setVisible(shown);
  m_button->setVisible(shown);
  m_button->setEnabled(shown);
  m_window->setFixedHeight(
      DialogUnitsToPixelsY(m_window, m_templateHeight + (shown ? kRowHeight : 0)));
  KeepOnScreen(m_window);  // grown, the window keeps the row in view
}

void CrawlEndRow::Begin(bool webRules) {
  if (!webRules || m_button == nullptr || !m_button->isVisible())
    return Show(QString());
  m_line->clear();
  m_line->setToolTip(QString());
  m_button->setEnabled(false);
}

CrawlReportDialog::CrawlReportDialog(const std::vector<LastCrawl::Failure>& failures,
                                     std::string copyDirectory, QWidget* parent)
    : QDialog(parent),
      m_copyDirectory(std::move(copyDirectory)),
      m_search(new QLineEdit(this)),
      m_list(new QTreeWidget(this)),
      m_shown(new QLabel(this)),
      m_openFolder(new QPushButton(QStringLiteral("Open the copy's folder"), this)) {
  setWindowTitle(QStringLiteral("What happened"));
  m_search->setPlaceholderText(QStringLiteral("Search the addresses, reasons and pages"));
  m_search->setClearButtonEnabled(true);
  m_list->setHeaderLabels(
      {QStringLiteral("Not saved"), QStringLiteral("Why"), QStringLiteral("Linked from")});
  m_list->setRootIsDecorated(false);
  m_list->setUniformRowHeights(true);
  for (const LastCrawl::Failure& failure : failures) {
    auto* item = new QTreeWidgetItem(
        m_list, {ToQt(failure.url), ToQt(failure.why), ToQt(failure.linkedFrom)});
    item->setToolTip(0, item->text(0));
    item->setToolTip(2, item->text(2));
  }
  m_list->setSortingEnabled(true);  // once filled: sorting as each row comes is slow
  m_list->sortByColumn(1, Qt::AscendingOrder);
  for (int column = 0; column < 3; ++column)
    m_list->resizeColumnToContents(column);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->addButton(m_openFolder, QDialogButtonBox::ActionRole);
  m_openFolder->setEnabled(!m_copyDirectory.empty());
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_search);
  layout->addWidget(m_list);
  layout->addWidget(m_shown);
  layout->addWidget(buttons);
  connect(m_search, &QLineEdit::textChanged, this, [this](const QString& text) { Filter(text); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_openFolder, &QPushButton::clicked, this, [this] { OpenCopyFolder(); });
  Filter(QString());
  resize(DialogUnitsToPixelsX(this, 420), DialogUnitsToPixelsY(this, 220));
  FitWindowToScreen(this);
}

void CrawlReportDialog::Filter(const QString& text) {
  int shown = 0;
  for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_list->topLevelItem(i);
    bool match = text.isEmpty();
    for (int column = 0; column < 3 && !match; ++column)
      match = item->text(column).contains(text, Qt::CaseInsensitive);
    item->setHidden(!match);
    shown += match ? 1 : 0;
  }
  const int all = m_list->topLevelItemCount();
  m_shown->setText(all == 0 ? QStringLiteral("Every file the crawl asked for was saved.")
                   : shown == all
                       ? QStringLiteral("%1 file%2 not saved.").arg(all).arg(all == 1 ? "" : "s")
                       : QStringLiteral("%1 of %2 files not saved match.").arg(shown).arg(all));
}

void CrawlReportDialog::OpenCopyFolder() {
  const QString folder = ToQt(m_copyDirectory);
  const auto cannot = [folder](const QString& why) {
    return QStringLiteral("The copy's folder %1 could not be opened: %2").arg(folder, why);
  };
  // Said over the window, also once this view is closed.
  QWidget* window = parentWidget() != nullptr ? parentWidget() : this;
  QString why = StartWatched(window, QStringLiteral("xdg-open"), folder, cannot);
  if (why == QStringLiteral("no such file"))
    why = QStringLiteral("xdg-open was not found (the package xdg-utils)");
  if (!why.isEmpty())
    ShowPlainMessage(this, cannot(why));
}
