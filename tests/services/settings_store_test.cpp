#include "support/settings_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace {

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1); }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
  TempDir m_config;
};

const std::string kRoot = "SOFTWARE\\ORTALUX\\Kelvane\\";

TEST_F(SettingsStore, FileLivesInTheConfigurationDirectory) {
  EXPECT_EQ(SettingsFilePath(), m_config.Path() + "/ORTALUX/Kelvane.conf");
  WriteSetting(kRoot + "Verbose", "1");
  EXPECT_TRUE(std::filesystem::exists(m_config.Path() + "/ORTALUX/Kelvane.conf"));
}

TEST_F(SettingsStore, MissingKeysReadEmpty) {
  for (const char* key :
       {"Browser", "Verbose", "SaveTo\\", "URLToDownload\\CurIdx", "URLToDownload\\0"}) {
    EXPECT_EQ(ReadSetting(kRoot + key), "") << key;
  }
}

TEST_F(SettingsStore, RoundTrips) {
  const std::string values[] = {
      "1",
      "0",
      " 1",
      "1 ",
      "",
      "/home/ana/Sites",
      "C:\\Sites\\x",
      "http://host/a b?x=1&y=\"2\";z,w",
      "caf\xc3\xa9 \xe2\x82\xac",
      std::string(254, 'u'),
      std::string(255, 'v'),
      std::string(5000, 'w'),
      "line\nbreak",
      "#not a comment",
      "@ByteArray(x)",
  };
  for (const std::string& value : values) {
    WriteSetting(kRoot + "Browser", value);
    EXPECT_EQ(ReadSetting(kRoot + "Browser"), value) << value;
  }
}

TEST_F(SettingsStore, KeyPathsKeepTheirIdentity) {
  WriteSetting(kRoot + "SaveTo\\", "/with/slash");
  WriteSetting(kRoot + "URLToDownload\\CurIdx", "-1");
  WriteSetting(kRoot + "URLToDownload\\0", "http://a/");
  WriteSetting(kRoot + "URLToDownload\\10", "http://k/");
  EXPECT_EQ(ReadSetting(kRoot + "SaveTo\\"), "/with/slash");
  EXPECT_EQ(ReadSetting(kRoot + "URLToDownload\\CurIdx"), "-1");
  EXPECT_EQ(ReadSetting(kRoot + "URLToDownload\\0"), "http://a/");
  EXPECT_EQ(ReadSetting(kRoot + "URLToDownload\\10"), "http://k/");
  EXPECT_EQ(ReadSetting(kRoot + "URLToDownload\\1"), "");
}

TEST_F(SettingsStore, EveryReadSeesTheFileAsItIsNow) {
  WriteSetting(kRoot + "Verbose", "1");
  EXPECT_EQ(ReadSetting(kRoot + "Verbose"), "1");
  std::filesystem::remove(SettingsFilePath());
  EXPECT_EQ(ReadSetting(kRoot + "Verbose"), "");
}

TEST_F(SettingsStore, ClearingWritesTheEmptyText) {
  WriteSetting(kRoot + "Browser", "/usr/bin/firefox");
  WriteSetting(kRoot + "Browser", "");
  EXPECT_EQ(ReadSetting(kRoot + "Browser"), "");
}

}  // namespace
