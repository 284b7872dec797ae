#include "support/settings_store.h"

#include <QSettings>
#include <QString>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_programName = "kelvane";

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/')
    return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Each "\" of a key path becomes a group level of the file; QSettings drops a trailing one, so
// "...\SaveTo\" is stored as the value "SaveTo" of group "Kelvane".
QString KeyOf(const std::string& keyPath) {
  QString key = FromUtf8(keyPath);
  key.replace(QLatin1Char('\\'), QLatin1Char('/'));
  return key;
}

// Settings may hold what is the user's alone (the addresses typed), so their files are readable
// by no one else. The file is made so before its first write: QSettings keeps a file's mode.
void KeepPrivate(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return;
  ::fchmod(fd, 0600);
  ::close(fd);
}

}  // namespace

std::string SettingsFilePath() {
  return ConfigHome() + "/ORTALUX/Kelvane.conf";
}

std::string ReadSetting(const std::string& keyPath) {
  QSettings settings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  return settings.value(KeyOf(keyPath)).toString().toStdString();
}

bool HasSetting(const std::string& keyPath) {
  QSettings settings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  return settings.contains(KeyOf(keyPath));
}

void WriteSetting(const std::string& keyPath, const std::string& value) {
  KeepPrivate(SettingsFilePath());
  QSettings settings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  settings.setValue(KeyOf(keyPath), FromUtf8(value));
  settings.sync();
}

std::string ProfileFilePath() {
  return ConfigHome() + "/Ortalux/" + g_programName + ".conf";
}

void SetProfileProgramName(const std::string& programName) {
  g_programName = programName;
}

std::string ReadProfileString(const std::string& section, const std::string& entry) {
  QSettings profile(QString::fromStdString(ProfileFilePath()), QSettings::IniFormat);
  return profile.value(FromUtf8(section) + "/" + FromUtf8(entry)).toString().toStdString();
}

void WriteProfileString(const std::string& section, const std::string& entry,
                        const std::string& value) {
  KeepPrivate(ProfileFilePath());
  QSettings profile(QString::fromStdString(ProfileFilePath()), QSettings::IniFormat);
  profile.setValue(FromUtf8(section) + "/" + FromUtf8(entry), FromUtf8(value));
  profile.sync();
}
