#include "ui/copy_preferences.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "support/settings_store.h"
#include "ui/qt_text.h"
#include "ui/setting_keys.h"

namespace {

const QString kClosingWaits = QStringLiteral(". Fix it, or empty the field, to close Preferences.");

bool IsSwitch(const CopyPreference& preference) {
  return preference.refused == nullptr;
}

// Whether the option takes the text; an empty field is the option not given.
bool Takes(const CopyPreference& preference, const std::string& text) {
  if (text.empty())
    return true;
  CrawlPlan scratch;
  std::string error;
  return OptionOf(preference).apply(scratch, text, error);
}

}  // namespace

const std::vector<CopyPreference>& CopyPreferences() {
  static const std::vector<CopyPreference> preferences = {
      {"Jobs", "--jobs", "Transfers at once:",
       "How many files are fetched at the same time, from 1 to 64; 1 fetches one file after "
       "another. Empty is 1, or with complete pages as many as a server is polite to ask of: 6 "
       "connections to each server and 16 in all, or 100 streams over one HTTP/2 connection.",
       "a whole number from 1 to 64", "1; with complete pages, as a browser asks"},
      {"PageRequisites", "--page-requisites", "Complete pages: also what each page needs",
       "Fetch the stylesheets, scripts, pictures and media that the pages need to show, and read "
       "pages as a browser does.",
       nullptr, nullptr},
      {"ConvertLinks", "--convert-links", "Links converted for reading offline",
       "Once the crawl is over, rewrite the links of the copy so that it reads from the disk; "
       "\"Browse\" then opens its start page.",
       nullptr, nullptr},
      {"AdjustExtension", "--adjust-extension", "Names a browser opens (.html, .css)",
       "Name pages .html and stylesheets .css, whatever their addresses end with.", nullptr,
       nullptr},
      {"Render", "--render", "Run the pages' scripts (needs Chromium)",
       "With complete pages, load each page in a headless Chromium as it is read: what its "
       "scripts ask for is fetched and kept, and the links they add are followed, so that the "
       "copy holds what the page shows live.",
       nullptr, nullptr},
      {"Update", "--update", "Update an existing copy",
       "Ask the server again for every file already copied, and replace those that changed.",
       nullptr, nullptr},
      {"Archive", "--wacz", "Keep an archive (WACZ)",
       "Also record every request and answer, as an archive player replays them: a WACZ file "
       "for each crawl beside the copy's directory, named after it and the time "
       "(127.0.0.1:8080-2026-12-09-101500.wacz).",
       nullptr, nullptr, kArchiveBesideCopy},
      {"Level", "--level", "Depth, in links from the start:",
       "Follow links at most this many deep from the start page; empty or 0 for no limit. What "
       "the pages of the last level need is fetched all the same.",
       "a whole number, 0 for no limit", "no limit"},
      {"Accept", "--accept", "Files to take:",
       "Only files whose names end so or match these patterns, separated by commas (htm,gif or "
       "*.png); pages are read for their links all the same. Empty for every file.",
       "names or patterns separated by commas", "every file"},
      {"Reject", "--reject", "Files to leave out:",
       "Files whose names end so or match these patterns, separated by commas (*.zip,iso). "
       "Empty to leave out none.",
       "names or patterns separated by commas", "none"},
      {"SpanHosts", "--span-hosts", "What pages need, from other servers too",
       "With complete pages, fetch pictures, stylesheets and fonts from other servers as well, "
       "each under a directory of its own; pages there are not followed.",
       nullptr, nullptr},
      {"WindowsNames", "--restrict-file-names", "Names Windows takes, for a USB stick",
       "With complete pages, write file names so that the copy can be carried on a FAT or NTFS "
       "disk: characters those refuse become %XX, and names such as CON get a \"_\".",
       nullptr, nullptr, "windows"},
      {"ContentDisposition", "--content-disposition", "Downloads named as their server names them",
       "With complete pages, store a download under the file name its server gives it, not the "
       "last part of its address.",
       nullptr, nullptr},
      {"Robots", "--robots", "Obey robots.txt",
       "Read each server's robots.txt once and leave out what it disallows, and links that "
       "pages ask crawlers not to follow. Recommended for sites that are not your own.",
       nullptr, nullptr},
      {"Wait", "--wait", "Wait between requests, seconds:",
       "The time between the starts of two requests to one server. Empty or 0 for none.",
       "a number of seconds, 0 or more, with a point for a part (1.5)", "none"},
      {"LimitRate", "--limit-rate", "Rate limit, bytes a second:",
       "The most the whole crawl receives in a second; k and M allowed (100k, 2M). Empty for no "
       "limit.",
       "a number of bytes above 0, k and M allowed", "no limit"},
  };
  return preferences;
}

const CrawlOption& OptionOf(const CopyPreference& preference) {
  // Every row names an option of the table, which a test walks; a name that were not one would
  // be a switch that does nothing, never a crash.
  static const CrawlOption kNone{{},
                                 [](CrawlPlan&, const std::string&, std::string&) { return true; }};
  const CrawlOption* option = FindCrawlOption(preference.option);
  return option != nullptr ? *option : kNone;
}

CrawlPlan ReadCopyPreferences(std::vector<std::string>* problems) {
  CrawlPlan settings;
  for (const CopyPreference& preference : CopyPreferences()) {
    const std::string stored = ReadSetting(kCopyRoot + preference.key);
    if (stored.empty() || (IsSwitch(preference) && stored != "1"))
      continue;
    std::string error;
    CrawlPlan taken = settings;
    const std::string value =
        IsSwitch(preference) ? std::string(preference.onValue ? preference.onValue : "") : stored;
    if (OptionOf(preference).apply(taken, value, error)) {
      settings = std::move(taken);
      // The archive's first record says how the crawl was asked for, as the console would.
      settings.archive.commandLine += std::string(settings.archive.commandLine.empty() ? "" : " ") +
                                      preference.option + (IsSwitch(preference) ? "" : " " + value);
    } else if (problems != nullptr) {
      problems->push_back(error);
    }
  }
  return settings;
}

std::string ArchiveBesideCopy(std::string localRoot) {
  while (localRoot.size() > 1 && localRoot.back() == '/')
    localRoot.pop_back();
  const std::string named =
      localRoot +
      QDateTime::currentDateTime().toString(QStringLiteral("-yyyy-MM-dd-HHmmss")).toStdString();
  // Two crawls in one second make two packages all the same.
  std::string name = named + ".wacz";
  for (int n = 2; QFileInfo::exists(QString::fromStdString(name)); ++n)
    name = named + "-" + std::to_string(n) + ".wacz";
  return name;
}

CopyPreferencesSection::CopyPreferencesSection(QWidget* parent) : QWidget(parent) {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* group = new QGroupBox(QStringLiteral("The copy"), this);
  group->setObjectName(QStringLiteral("copyGroup"));
  outer->addWidget(group);
  auto* grid = new QGridLayout(group);
  grid->setColumnStretch(1, 1);
  int row = 1;  // the first is the copy for reading offline
  for (const CopyPreference& preference : CopyPreferences()) {
    if (IsSwitch(preference))
      AddSwitch(preference, row++);
    else
      AddField(preference, row++);
  }
  AddReadingOffline();
}

void CopyPreferencesSection::AddReadingOffline() {
  auto* grid = static_cast<QGridLayout*>(findChild<QGroupBox*>()->layout());
  auto* offline = new QCheckBox(QStringLiteral("Copy for reading offline"));
  offline->setObjectName(QStringLiteral("ReadingOffline"));
  offline->setToolTip(
      QStringLiteral("A copy that a browser reads from the disk as the site looks: complete "
                     "pages, links converted and names a browser opens, all three at once."));
  grid->addWidget(offline, 0, 0, 1, 2);
  std::vector<QCheckBox*> parts;
  for (const char* key : {"PageRequisites", "ConvertLinks", "AdjustExtension"})
    parts.push_back(static_cast<QCheckBox*>(ControlFor(key)));
  // Ticked exactly while all three are; a click sets all three.
  const auto follow = [offline, parts] {
    offline->setChecked(
        std::all_of(parts.begin(), parts.end(), [](QCheckBox* part) { return part->isChecked(); }));
  };
  for (QCheckBox* part : parts)
    connect(part, &QCheckBox::toggled, this, follow);
  connect(offline, &QCheckBox::clicked, this, [parts](bool on) {
    for (QCheckBox* part : parts)
      part->setChecked(on);
  });
  follow();
  m_controls.emplace_back("ReadingOffline", offline);
}

void CopyPreferencesSection::AddSwitch(const CopyPreference& preference, int row) {
  auto* grid = static_cast<QGridLayout*>(findChild<QGroupBox*>()->layout());
  auto* check = new QCheckBox(QString::fromUtf8(preference.label));
  check->setObjectName(QString::fromUtf8(preference.key));
  check->setToolTip(QString::fromUtf8(preference.tooltip));
  check->setChecked(ReadSetting(kCopyRoot + preference.key) == "1");
  grid->addWidget(check, 2 * row, 0, 1, 2);
  connect(check, &QCheckBox::toggled, this,
          [preference](bool on) { WriteSetting(kCopyRoot + preference.key, on ? "1" : ""); });
  m_controls.emplace_back(preference.key, check);
}

void CopyPreferencesSection::AddField(const CopyPreference& preference, int row) {
  auto* grid = static_cast<QGridLayout*>(findChild<QGroupBox*>()->layout());
  auto* label = new QLabel(QString::fromUtf8(preference.label));
  auto* field = new QLineEdit;
  field->setObjectName(QString::fromUtf8(preference.key));
  field->setToolTip(QString::fromUtf8(preference.tooltip));
  field->setPlaceholderText(QString::fromUtf8(preference.placeholder));
  label->setToolTip(field->toolTip());
  label->setBuddy(field);
  auto* message = new QLabel;
  message->setObjectName(QString::fromUtf8(preference.key) + QStringLiteral("Message"));
  message->setStyleSheet(QStringLiteral("color: #b00000"));
  std::string stored = ReadSetting(kCopyRoot + preference.key);
  field->setText(ToQt(stored));
  m_before[preference.key] = stored;
  // An edit ends when the field is left or Enter pressed: what it took is the value to go
  // back to from then on.
  connect(field, &QLineEdit::editingFinished, this, [this, preference, field] {
    const std::string text = field->text().trimmed().toStdString();
    if (Takes(preference, text))
      m_before[preference.key] = text;
  });
  message->setWordWrap(true);
  message->hide();
  // The message goes under its field, where a refused value is seen.
  grid->addWidget(label, 2 * row, 0);
  grid->addWidget(field, 2 * row, 1);
  grid->addWidget(message, 2 * row + 1, 1);
  connect(field, &QLineEdit::textChanged, this,
          [this, preference, field, message] { TakeField(preference, field, message); });
  TakeField(preference, field, message);
  m_controls.emplace_back(preference.key, field);
  m_messages.emplace_back(preference.key, message);
}

void CopyPreferencesSection::TakeField(const CopyPreference& preference, QLineEdit* field,
                                       QLabel* message) {
  // A value the crawl would refuse is said so under the field and not stored: the setting goes
  // back to the value from before this edit, not to one typed on the way ("10" of "100").
  const std::string text = field->text().trimmed().toStdString();
  const bool taken = Takes(preference, text);
  const bool shown = !message->isHidden();
  message->setText(taken ? QString()
                         : QStringLiteral("Refused: ") + QString::fromUtf8(preference.refused));
  message->setVisible(!taken);
  if (shown == taken)
    emit RoomChanged();
  const std::string keep = taken ? text : m_before[preference.key];
  if (ReadSetting(kCopyRoot + preference.key) != keep)
    WriteSetting(kCopyRoot + preference.key, keep);
}

QWidget* CopyPreferencesSection::ControlFor(const std::string& key) const {
  for (const auto& [name, control] : m_controls) {
    if (name == key)
      return control;
  }
  return nullptr;
}

QWidget* CopyPreferencesSection::FirstRefused() {
  QWidget* first = nullptr;
  for (const auto& [key, message] : m_messages) {
    if (message->isHidden())
      continue;
    // Asked to close, the dialog stays: each message says why.
    if (!message->text().endsWith(kClosingWaits)) {
      message->setText(message->text() + kClosingWaits);
      emit RoomChanged();
    }
    if (first == nullptr)
      first = ControlFor(key);
  }
  return first;
}

QLabel* CopyPreferencesSection::Message(const std::string& key) const {
  for (const auto& [name, message] : m_messages) {
    if (name == key)
      return message;
  }
  return nullptr;
}
