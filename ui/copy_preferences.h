#pragma once

#include <QWidget>
#include <map>
#include <string>
#include <vector>

#include "crawl/run/crawl_options.h"

class QLabel;
class QLineEdit;
class QCheckBox;

// What the copy takes beyond the plain crawl, as the window's preferences: each one an
// option of the crawl's table, stored in the settings as the option's text the moment it is
// changed, and read into the crawl's settings when "Download" is pressed. Nothing stored, every
// option is off and the crawl fetches pages and pictures of the start's directory alone.
struct CopyPreference {
  const char* key;     // below "SOFTWARE\ORTALUX\Kelvane\Copy\"
  const char* option;  // the crawl option it gives, "--jobs": each is one of the option table's
  const char* label;
  const char* tooltip;
  const char* refused;            // for a field: what it takes, said when a value is refused
  const char* placeholder;        // for a field: what it means left empty
  const char* onValue = nullptr;  // for a switch: the value its option is given when it is on
};
const std::vector<CopyPreference>& CopyPreferences();

// The archive's place until the crawl's start is known: then beside the copy's directory.
inline constexpr const char* kArchiveBesideCopy = "beside-the-copy.wacz";
// The package beside a copy's directory: one for each crawl, named after the copy and the time,
// so that a rerun, which fetches only what is missing, never takes the place of an earlier,
// fuller one.
std::string ArchiveBesideCopy(std::string localRoot);

// The option of the crawl's table that a preference gives.
const CrawlOption& OptionOf(const CopyPreference& preference);

// The crawl plan of the stored preferences, without its start; a stored value that the option
// refuses (a file edited by hand) is left out and its option's error text added to problems.
CrawlPlan ReadCopyPreferences(std::vector<std::string>* problems = nullptr);

// The section of the Preferences dialog with a control for each preference.
class CopyPreferencesSection : public QWidget {
  Q_OBJECT

 public:
  explicit CopyPreferencesSection(QWidget* parent);
  // The control of a preference by its key, and the message under a field.
  QWidget* ControlFor(const std::string& key) const;
  QLabel* Message(const std::string& key) const;
  // The first field whose value is refused, if one is; every refused value's message then says
  // that Preferences waits for it.
  QWidget* FirstRefused();

 signals:
  // A message came or went beside a field: the dialog makes room for it.
  void RoomChanged();

 private:
  void AddSwitch(const CopyPreference& preference, int row);
  // "Copy for reading offline": complete pages, converted links and names a browser opens in one.
  void AddReadingOffline();
  void AddField(const CopyPreference& preference, int row);
  void TakeField(const CopyPreference& preference, QLineEdit* field, QLabel* message);

  // Each field's value as it was before the edit in progress: what the setting goes back to
  // while the field shows a value that is refused.
  std::map<std::string, std::string> m_before;
  std::vector<std::pair<std::string, QWidget*>> m_controls;
  std::vector<std::pair<std::string, QLabel*>> m_messages;
};
