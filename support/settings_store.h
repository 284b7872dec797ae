#pragma once

#include <string>

#include "support/int_text.h"

// The machine-wide options, one text per key path such as "SOFTWARE\ORTALUX\Kelvane\Verbose".
// Every read goes to the settings file and every write reaches it at once; a missing key reads
// as the empty text, and nothing is ever deleted.
std::string ReadSetting(const std::string& keyPath);
void WriteSetting(const std::string& keyPath, const std::string& value);

// The file behind them: $XDG_CONFIG_HOME (else ~/.config) + "/ORTALUX/Kelvane.conf".
std::string SettingsFilePath();
