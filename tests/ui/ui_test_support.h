#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

// Runs the event loop until the condition holds or the time is up; true when it held.
inline bool WaitFor(const std::function<bool()>& condition, int milliseconds = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > milliseconds)
      return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Answers the next modal dialog of type T, as a person would: answer is called whenever that
// dialog is the one in front, again and again until it has closed, so an answer that a dialog
// cannot take yet (a file dialog still listing its folder) is simply given again. When the
// deadline passes, the test fails and the dialog is rejected, so nothing waits for ever. With
// required false, a dialog that never comes is no failure.
template <typename T>
void AnswerNextModal(std::function<void(T*)> answer, int deadlineMs = 15000, bool required = true) {
  struct State {
    QPointer<T> dialog;
    bool found = false;
    bool busy = false;
    QElapsedTimer clock;
  };
  auto state = std::make_shared<State>();
  state->clock.start();
  auto* poll = new QTimer(QCoreApplication::instance());  // goes with the application at the latest
  poll->setInterval(30);
  QObject::connect(poll, &QTimer::timeout, [poll, answer, state, deadlineMs, required] {
    if (state->busy)
      return;  // the answer itself is still running, a nested dialog perhaps
    auto finish = [poll] {
      poll->stop();
      poll->deleteLater();
    };
    if (!state->found) {
      if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
        state->dialog = dialog;
        state->found = true;
      } else if (state->clock.elapsed() > deadlineMs) {
        if (required)
          ADD_FAILURE() << "no " << T::staticMetaObject.className() << " came up";
        finish();
        return;
      } else {
        return;
      }
    }
    T* dialog = state->dialog.data();
    if (dialog == nullptr || !dialog->isVisible()) {
      finish();
      return;
    }
    if (state->clock.elapsed() > deadlineMs) {
      ADD_FAILURE() << T::staticMetaObject.className() << " still open after the deadline";
      finish();
      dialog->reject();
      return;
    }
    if (QApplication::activeModalWidget() != dialog)
      return;
    state->busy = true;
    answer(dialog);
    state->busy = false;
  });
  poll->start();
}
