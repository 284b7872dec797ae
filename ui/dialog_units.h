#pragma once

class QWidget;

// Dialog templates give positions in dialog units, which follow the dialog's font: a quarter of
// its average character width across, an eighth of its height down. This converts the geometry
// of every child of a dialog built from such a template, and fixes the dialog to its size.
void ApplyDialogUnits(QWidget* dialog);

// The pixel size of a length in dialog units along x and y for a widget's font.
int DialogUnitsToPixelsX(const QWidget* widget, int units);
int DialogUnitsToPixelsY(const QWidget* widget, int units);
