#pragma once

#include <QStringList>

class QFont;
class QLabel;
class QString;
class QWidget;

// Dialog templates give positions in dialog units, which follow the dialog's font: a quarter of
// its average character width across, an eighth of its height down. This converts the geometry
// of every child of a dialog built from such a template, and fixes the dialog to its size.
void ApplyDialogUnits(QWidget* dialog);

// The program's message: its text as it is (never markup), with an OK button, modal to parent,
// wide enough for its caption beside the window manager's buttons.
void ShowPlainMessage(QWidget* parent, const QString& text);
// The detail view of a file dialog of Qt's own: each column as wide as what it shows, as the
// files' details come in, so that no size or date is cut.
void FitDetailColumns(QWidget* fileDialog);

// A window whose own size would pass the screen's edge (a file dialog at a large scale) is made
// to fit inside it.
void FitWindowToScreen(QWidget* window);

// The pixel size of a length in dialog units along x and y for a widget's font.
int DialogUnitsToPixelsX(const QWidget* widget, int units);
int DialogUnitsToPixelsY(const QWidget* widget, int units);

// A text wrapped into a box of the given width and height, anywhere within a long word (an
// address) if need be: as many lines as fit, the last one ending in "…" when text is left over.
QStringList FitLines(const QString& text, const QFont& font, int width, int height);

// Paints a label's text on whole lines, the last ending in an ellipsis where the text is longer
// than its box (a label would cut it through the middle of a line); its tooltip is the whole
// text where it is cut, and then more, where there is more.
void PaintWholeLines(QLabel* label, const QString& more);
