// A window's place on the screens: as a stored placement gives it, and as it stands.
#include "ui/window_geometry.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <algorithm>

void KeepOnScreen(QWidget* window) {
  const QScreen* screen = QGuiApplication::screenAt(window->frameGeometry().center());
  if (screen == nullptr)
    screen = window->screen();
  if (screen == nullptr)
    return;
  const QRect room = screen->availableGeometry();
  const QRect frame = window->frameGeometry();
  // Moved in from an edge it crosses; one larger than the screen keeps its top left in view.
  const int x = std::max(room.left(), std::min(frame.left(), room.right() + 1 - frame.width()));
  const int y = std::max(room.top(), std::min(frame.top(), room.bottom() + 1 - frame.height()));
  if (x != frame.left() || y != frame.top())
    window->move(window->pos() + QPoint(x - frame.left(), y - frame.top()));
}

bool PlaceWindow(QWidget* window, const WindowPlacement& placement) {
  // A rectangle that is none, or that no screen shows any more, would hide the window.
  QRect normal(QPoint(placement.left, placement.top), QPoint(placement.right, placement.bottom));
  bool onScreen = false;
  for (QScreen* screen : QGuiApplication::screens()) {
    onScreen = onScreen || screen->geometry().intersects(normal);
  }
  if (placement.right < placement.left || placement.bottom < placement.top || !onScreen) {
    return false;
  }
  window->move(placement.left, placement.top);
  KeepOnScreen(window);
  if (placement.showCmd == 2) {
    window->setWindowState(Qt::WindowMinimized);
  } else if (placement.showCmd == 3) {
    window->setWindowState(Qt::WindowMaximized);
  }
  return true;
}

WindowPlacement PlacementOf(const QWidget* window) {
  WindowPlacement placement;
  placement.flags = window->isMaximized() ? 2 : 0;
  placement.showCmd = window->isMinimized() ? 2 : window->isMaximized() ? 3 : 1;
  QRect frame = window->frameGeometry();
  placement.left = frame.left();
  placement.top = frame.top();
  placement.right = frame.left() + frame.width();
  placement.bottom = frame.top() + frame.height();
  return placement;
}
