#pragma once

// A window's place on the screens: as a stored placement gives it, and as it stands.
#include "ui/window_placement.h"

class QWidget;

// Puts the window where the placement says; false, the window left as it is, where the
// placement's rectangle is none or no screen shows any of it, which would hide the window.
bool PlaceWindow(QWidget* window, const WindowPlacement& placement);
// Moves the window, where part of it is off its screen, to show it whole.
void KeepOnScreen(QWidget* window);
// The placement the window stands in: its state and its frame's rectangle.
WindowPlacement PlacementOf(const QWidget* window);
