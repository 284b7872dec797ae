#pragma once

#include <QApplication>

// The application: it sets up the settings' home, runs the one main dialog modally and ends
// when the dialog closes.
class CKelvaneApp : public QApplication {
 public:
  CKelvaneApp(int& argc, char** argv);
  bool InitInstance();
};
