#pragma once

#include <QDialog>

class QLineEdit;

// Asks for the login a site wants: its server and realm said, a user and a password typed.
class CLoginDialog : public QDialog {
  Q_OBJECT

 public:
  // server: "scheme://server", shown without its scheme.
  CLoginDialog(const QString& server, const QString& realm, QWidget* parent);
  QLineEdit* User() const { return m_user; }
  QLineEdit* Password() const { return m_password; }

 private:
  QLineEdit* m_user;
  QLineEdit* m_password;
};
