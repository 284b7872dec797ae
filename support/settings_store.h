#pragma once

#include <string>

#include "support/int_text.h"

// The machine-wide options, one text per key path such as "SOFTWARE\ORTALUX\Kelvane\Verbose".
// Every read goes to the settings file and every write reaches it at once; a missing key reads
// as the empty text, and nothing is ever deleted.
std::string ReadSetting(const std::string& keyPath);
void WriteSetting(const std::string& keyPath, const std::string& value);
// Whether the key was ever written, empty or not.
bool HasSetting(const std::string& keyPath);

// The file behind them: $XDG_CONFIG_HOME (else ~/.config) + "/ORTALUX/Kelvane.conf".
std::string SettingsFilePath();

// The per-user profile (the window placement): one text per section and entry, in
// $XDG_CONFIG_HOME + "/Ortalux/" + program name + ".conf". A missing entry reads as empty.
std::string ReadProfileString(const std::string& section, const std::string& entry);
void WriteProfileString(const std::string& section, const std::string& entry,
                        const std::string& value);
std::string ProfileFilePath();
void SetProfileProgramName(const std::string& programName);
