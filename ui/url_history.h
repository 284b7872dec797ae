#pragma once

class QComboBox;
class QString;

// Where a sorted list puts text: after every entry that does not come after it, by the
// case-insensitive, locale-aware order.
int SortedInsertionPosition(const QComboBox* combo, const QString& text);
