#pragma once

#include <string>

// The keys of the window's settings, each written once: the full key path is the key.
inline const std::string kSettingsRoot = "SOFTWARE\\ORTALUX\\Kelvane\\";
inline const std::string kBrowserKey = kSettingsRoot + "Browser";
inline const std::string kVerboseKey = kSettingsRoot + "Verbose";
inline const std::string kSaveToKey = kSettingsRoot + "SaveTo\\";
inline const std::string kHistoryKey = kSettingsRoot + "URLToDownload\\";  // + entry, or CurIdx
inline const std::string kCopyRoot = kSettingsRoot + "Copy\\";             // + a preference's key
// The last crawl with the web rules: the address it was given, the start page it stored under
// the names it used, and the directory served to a browser where its pages ran scripts.
inline const std::string kLastCopyKey =
    kSettingsRoot + "LastCopy\\";  // + Address, StartPage, Served
