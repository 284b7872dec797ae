#pragma once

#include <QString>
#include <functional>

class QWidget;

// Starts a program of the desktop's (a path, or a name looked for on PATH) with one argument,
// on its own: the argument is never read by a shell, and the program runs on when the window
// closes. Returns why it could not be started, or nothing. One that ends at once with a failure
// is said in window, in the words ended makes of what it printed.
QString StartWatched(QWidget* window, const QString& program, const QString& argument,
                     std::function<QString(const QString& said)> ended);
