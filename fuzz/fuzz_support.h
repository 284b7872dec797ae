#pragma once

#include <string>

#include "crawl/base/crawl_dialog.h"

// A dialog that swallows every call, so the fuzzers exercise the engine alone.
class SilentDialog : public CrawlDialog {
 public:
  SilentDialog() { g_mainDialog = this; }
  void SetControlText(Control, const std::string&) override {}
  void SetProgressRange(Control, int, int) override {}
  void SetProgressPosition(Control, int) override {}
  void EnableControl(Control, bool) override {}
  void ShowMessageBox(const std::string&) override {}
};
