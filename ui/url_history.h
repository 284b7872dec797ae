#pragma once

#include <QString>
#include <string>

class QComboBox;

// An address as typed, without a login typed into it ("user:password@"), with or without its
// scheme: what the settings keep and what names the copy's directory.
std::string WithoutTypedLogin(const std::string& typed);

// The start addresses used before: the URL combo box's list, its text, and the settings that
// keep the list between runs. Positions are list positions, -1 for none.
class UrlHistory {
 public:
  // Takes the combo box as the list's home. It completes nothing: the text is exactly what was
  // typed, and a list entry replaces it only when the user picks one.
  explicit UrlHistory(QComboBox* combo);

  // Fills the list from the settings in sorted order; the stored current entry becomes the text.
  // Gives the position of that entry, or -1 (the text is then empty).
  int Load();
  // Stores the list in list order with the current position, then empties the list. Entries
  // left over from a longer list are cleared; no entry keeps a login.
  void Save(int current);
  // The text as an entry: the first entry equal to it byte for byte, else a new one at the end.
  // An empty text is no entry: stored, it would end the list and lose what follows it.
  int Commit(const QString& text);
  // Removes the first entry equal to the text without regard to letter case and shows the first
  // remaining entry's text. False when no entry matched.
  bool Delete(const QString& text);

  QString Text() const;
  void SetText(const QString& text);
  QString Entry(int position) const;
  int Count() const;

 private:
  int SortedPosition(const QString& text) const;
  QComboBox* m_combo;
};
