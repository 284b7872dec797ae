#include "support/settings_store.h"

#include <QSettings>
#include <QString>
#include <cstdlib>

namespace {

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/')
    return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

// Each "\" of a key path becomes a group level of the file; QSettings drops a trailing one, so
// "...\SaveTo\" is stored as the value "SaveTo" of group "Kelvane".
QString KeyOf(const std::string& keyPath) {
  QString key = QString::fromUtf8(keyPath.data(), static_cast<qsizetype>(keyPath.size()));
  key.replace(QLatin1Char('\\'), QLatin1Char('/'));
  return key;
}

}  // namespace

std::string SettingsFilePath() {
  return ConfigHome() + "/ORTALUX/Kelvane.conf";
}

std::string ReadSetting(const std::string& keyPath) {
  QSettings settings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  return settings.value(KeyOf(keyPath)).toString().toStdString();
}

void WriteSetting(const std::string& keyPath, const std::string& value) {
  QSettings settings(QString::fromStdString(SettingsFilePath()), QSettings::IniFormat);
  settings.setValue(KeyOf(keyPath),
                    QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())));
  settings.sync();
}
