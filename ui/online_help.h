#pragma once

#include <QTextBrowser>
#include <functional>
#include <string>

struct chmFile;

// The CHM reader library, loaded on the first press of "Help" and kept for the life of the
// process. The first failure to load it or to find an entry is final: no later press loads again.
namespace OnlineHelp {

bool LoadReader();
int LoadCount();  // how many times the library was loaded; at most once
bool Failed();
// Test seams: the library's name, and where the help file is looked for.
void SetReaderLibraryName(const std::string& name);
void SetHelpFileOverride(const std::string& path);
void ResetForTesting();

// Where "Kelvane.chm" is: beside the program, then the installed data directory; "" if nowhere.
std::string FindHelpFile();

}  // namespace OnlineHelp

// A window over one CHM file: opens at the file's default topic, follows links between its pages
// and shows its pictures.
class CHelpWindow : public QTextBrowser {
  Q_OBJECT

 public:
  // Opens the file; false when it cannot be read or names no default topic.
  bool Open(const std::string& chmPath);
  ~CHelpWindow() override;
  std::string DefaultTopic() const { return m_defaultTopic; }
  void ShowDefaultTopic();

  // Every page and picture comes from the file; nothing from anywhere else.
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  QByteArray Retrieve(const std::string& path) const;
  struct chmFile* m_file = nullptr;
  std::string m_defaultTopic;
};
