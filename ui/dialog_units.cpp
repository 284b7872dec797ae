#include "ui/dialog_units.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextLayout>
#include <QTreeView>
#include <QWidget>

#include <algorithm>
#include <map>
#include <vector>

namespace {

int BaseX(const QWidget* widget) {
  QFontMetrics metrics(widget->font());
  int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return (width / 26 + 1) / 2;
}

int BaseY(const QWidget* widget) {
  return QFontMetrics(widget->font()).height();
}

// The default font may run wider than the one the template was drawn for: a caption that would
// be clipped gets a smaller size of the same font.
void FitCaption(QWidget* widget) {
  auto fits = [widget] {
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
      return button->fontMetrics().horizontalAdvance(button->text()) + 2 * margin <=
             button->width();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      return button->text().isEmpty() || button->sizeHint().width() <= button->width();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      return label->wordWrap() || label->text().isEmpty() ||
             label->sizeHint().width() <= label->width();
    }
    return true;
  };
  QFont font = widget->font();
  while (!fits() && font.pointSizeF() > 6.0) {
    font.setPointSizeF(font.pointSizeF() - 0.5);
    widget->setFont(font);
  }
}

}  // namespace

int DialogUnitsToPixelsX(const QWidget* widget, int units) {
  return (units * BaseX(widget) + 2) / 4;
}

int DialogUnitsToPixelsY(const QWidget* widget, int units) {
  return (units * BaseY(widget) + 4) / 8;
}

namespace {

// At a large scale or font a template can come out larger than the screen: it is then drawn in
// a smaller size of the dialog's font, so that every control stays where it can be reached.
void FitTemplateToScreen(QWidget* dialog) {
  const QScreen* screen = dialog->screen();
  QFont font = dialog->font();
  if (screen == nullptr || font.pointSizeF() <= 0)
    return;
  const QSize units = dialog->geometry().size();
  const int frame = dialog->style()->pixelMetric(QStyle::PM_TitleBarHeight);
  const QSize room = screen->availableGeometry().size() - QSize(frame / 2, 2 * frame);
  while ((DialogUnitsToPixelsX(dialog, units.width()) > room.width() ||
          DialogUnitsToPixelsY(dialog, units.height()) > room.height()) &&
         font.pointSizeF() > 6.0) {
    font.setPointSizeF(font.pointSizeF() - 0.5);
    dialog->setFont(font);
  }
}

}  // namespace

void ApplyDialogUnits(QWidget* dialog) {
  FitTemplateToScreen(dialog);
  for (QWidget* child : dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    QRect units = child->geometry();
    int x = DialogUnitsToPixelsX(dialog, units.x());
    int y = DialogUnitsToPixelsY(dialog, units.y());
    int width = DialogUnitsToPixelsX(dialog, units.width());
    int height = DialogUnitsToPixelsY(dialog, units.height());
    if (auto* combo = qobject_cast<QComboBox*>(child)) {
      // A combo box's template height includes its dropped list; the field keeps its own, no
      // taller than a field's row, so that it never meets the row below.
      int field = std::min(combo->sizeHint().height(), DialogUnitsToPixelsY(dialog, 14));
      int row = std::max(1, combo->fontMetrics().height() + 2);
      combo->setMaxVisibleItems(std::max(1, (height - field) / row));
      height = field;
    }
    child->setGeometry(x, y, width, height);
    FitCaption(child);
  }
  // The texts of one dialog, its labels', buttons' and fields', share one size of font: the
  // smallest any caption needed, so that none looks larger than the rest.
  std::vector<QWidget*> captions;
  for (QWidget* child : dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (qobject_cast<QAbstractButton*>(child) != nullptr ||
        qobject_cast<QLabel*>(child) != nullptr || qobject_cast<QLineEdit*>(child) != nullptr ||
        qobject_cast<QComboBox*>(child) != nullptr)
      captions.push_back(child);
  }
  qreal common = dialog->font().pointSizeF();
  for (const QWidget* caption : captions)
    common = std::min(common, caption->font().pointSizeF());
  for (QWidget* caption : captions) {
    QFont font = caption->font();
    font.setPointSizeF(common);
    caption->setFont(font);
  }
  QSize size = dialog->geometry().size();
  dialog->setFixedSize(DialogUnitsToPixelsX(dialog, size.width()),
                       DialogUnitsToPixelsY(dialog, size.height()));
}

void ShowPlainMessage(QWidget* parent, const QString& text) {
  const QString caption = QStringLiteral("Kelvane");
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  // A box as narrow as a short message leaves its caption no room beside the window
  // manager's buttons: it is made wide enough for both.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    const int room = box.fontMetrics().horizontalAdvance(caption) * 2 + 160;
    grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  box.exec();
}

void FitWindowToScreen(QWidget* window) {
  const QScreen* screen = window->screen();
  if (screen == nullptr)
    return;
  const int frame = window->style()->pixelMetric(QStyle::PM_TitleBarHeight);
  const QSize room = screen->availableGeometry().size() - QSize(frame / 2, 2 * frame);
  const QSize wanted = window->size().isValid() && window->testAttribute(Qt::WA_Resized)
                           ? window->size()
                           : window->sizeHint();
  window->setMinimumSize(window->minimumSize().boundedTo(room));
  window->resize(wanted.boundedTo(room));
}

QStringList FitLines(const QString& text, const QFont& font, int width, int height) {
  QStringList lines;
  const QFontMetrics metrics(font);
  const int most = std::max(1, height / std::max(1, metrics.lineSpacing()));
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    if (lines.size() + 1 == most) {
      // The last line that fits takes the rest, cut with an ellipsis if it does not.
      lines.push_back(
          metrics.elidedText(text.mid(line.textStart()).simplified(), Qt::ElideRight, width));
      break;
    }
    lines.push_back(text.mid(line.textStart(), line.textLength()).trimmed());
  }
  layout.endLayout();
  return lines;
}

void PaintWholeLines(QLabel* label, const QString& more) {
  const QRect box = label->contentsRect();
  const QStringList lines = FitLines(label->text(), label->font(), box.width(), box.height());
  const QString shown = lines.join(QLatin1Char(' '));
  QStringList tip;
  if (shown.simplified() != label->text().simplified())
    tip << label->text();
  if (!more.isEmpty())
    tip << more;
  label->setToolTip(tip.join(QLatin1Char('\n')));
  QPainter painter(label);
  painter.setPen(label->palette().color(label->isEnabled() ? QPalette::Active : QPalette::Disabled,
                                        label->foregroundRole()));
  const int spacing = label->fontMetrics().lineSpacing();
  for (int i = 0; i < lines.size(); ++i) {
    painter.drawText(QRect(box.x(), box.y() + i * spacing, box.width(), spacing),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, lines[i]);
  }
}

void FitDetailColumns(QWidget* fileDialog) {
  if (auto* details = fileDialog->findChild<QTreeView*>(QStringLiteral("treeView"))) {
    details->header()->setStretchLastSection(false);
    details->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  }
}
