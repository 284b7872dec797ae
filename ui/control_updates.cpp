#include "ui/control_updates.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <algorithm>

bool ControlUpdates::Add(Control control, const std::function<void(Change&)>& change) {
  std::lock_guard lock(m_mutex);
  change(m_pending[control]);
  const bool first = !m_asked;
  m_asked = true;
  return first;
}

std::map<Control, ControlUpdates::Change> ControlUpdates::Take() {
  std::map<Control, Change> pending;
  std::lock_guard lock(m_mutex);
  m_asked = false;
  pending.swap(m_pending);
  return pending;
}

void ControlUpdates::Apply(QWidget* widget, Control control, const Change& pending) {
  if (widget == nullptr)
    return;
  if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
    if (pending.range)
      m_barRanges[control] = *pending.range;
    if (pending.position)
      m_barPositions[control] = *pending.position;
    auto range = m_barRanges.count(control) ? m_barRanges[control] : std::pair<int, int>(0, 100);
    ShowBar(bar, range.first, range.second, m_barPositions[control]);
  }
  if (pending.text) {
    const QString text =
        QString::fromUtf8(pending.text->data(), static_cast<qsizetype>(pending.text->size()));
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      edit->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(text);
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      combo->setEditText(text);
    }
  }
  if (pending.enabled)
    widget->setEnabled(*pending.enabled);
}

void ControlUpdates::ShowBar(QProgressBar* bar, int low, int high, int position) {
  if (high <= low) {
    bar->setRange(0, 1);
    bar->setValue(0);
    return;
  }
  bar->setRange(low, high);
  bar->setValue(std::clamp(position, low, high));
}
