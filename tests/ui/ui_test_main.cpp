// The window tests run offscreen, with a configuration directory of their own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

#include "private_secret_store.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", PrivateSecretStore::kNoBus, 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
