#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

// Asks for the login a site wants: its server and realm said, a user and a password typed.
class CLoginDialog : public QDialog {
  Q_OBJECT

 public:
  // server: "scheme://server", shown without its scheme.
  CLoginDialog(const QString& server, const QString& realm, QWidget* parent);
  QLineEdit* User() const { return m_user; }
  QLineEdit* Password() const { return m_password; }
  // Keep the login in the desktop's secret store.
  QCheckBox* Remember() const { return m_remember; }

 private:
  QLineEdit* m_user;
  QLineEdit* m_password;
  QCheckBox* m_remember;
};
