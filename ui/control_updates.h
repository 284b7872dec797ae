#pragma once

#include <QWidget>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "crawl/base/crawl_dialog.h"

class QProgressBar;

// The worker's changes to the window's controls: collected from its thread and shown on the
// window's, the latest of each control last; a bar keeps its range and position between them.
class ControlUpdates {
 public:
  struct Change {
    std::optional<std::string> text;
    std::optional<std::pair<int, int>> range;
    std::optional<int> position;
    std::optional<bool> enabled;
  };
  // Adds a change of a control; true when it is the first since the last Take, and the window
  // is then to be asked to show them.
  bool Add(Control control, const std::function<void(Change&)>& change);
  // The changes collected so far, each control's together.
  std::map<Control, Change> Take();
  // Shows a change on the control's widget; on the window's thread.
  void Apply(QWidget* widget, Control control, const Change& change);

 private:
  // An empty range would make a bar a busy indicator; it shows empty instead.
  static void ShowBar(QProgressBar* bar, int low, int high, int position);

  std::mutex m_mutex;
  std::map<Control, Change> m_pending;
  bool m_asked = false;  // the window has been asked to show what is pending
  std::map<Control, std::pair<int, int>> m_barRanges;
  std::map<Control, int> m_barPositions;
};
