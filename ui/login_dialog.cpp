#include "ui/login_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

CLoginDialog::CLoginDialog(const QString& server, const QString& realm, QWidget* parent)
    : QDialog(parent),
      m_user(new QLineEdit(this)),
      m_password(new QLineEdit(this)),
      m_remember(new QCheckBox(QStringLiteral("Remember"), this)) {
  setWindowTitle(QStringLiteral("Login"));
  QString site = server;
  site.remove(QStringLiteral("https://")).remove(QStringLiteral("http://"));
  // A realm is the server's text, of any length: a long one is cut, for the dialog to fit.
  constexpr qsizetype kLongestRealm = 80;
  const QString shown =
      realm.size() > kLongestRealm ? realm.left(kLongestRealm - 1) + QChar(0x2026) : realm;
  auto* said = new QLabel(realm.isEmpty()
                              ? QStringLiteral("The site %1 asks for a login").arg(site)
                              : QStringLiteral("The site %1 asks for a login: %2").arg(site, shown),
                          this);
  said->setObjectName(QStringLiteral("loginAsked"));
  said->setTextFormat(Qt::PlainText);  // a realm is the server's text, never markup
  said->setWordWrap(true);
  m_password->setEchoMode(QLineEdit::Password);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Log in"));
  auto* form = new QFormLayout(this);
  form->addRow(said);
  form->addRow(QStringLiteral("User"), m_user);
  form->addRow(QStringLiteral("Password"), m_password);
  m_remember->setToolTip(QStringLiteral("Keeps the login in the desktop's secret store"));
  form->addRow(QString(), m_remember);
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  setMinimumWidth(fontMetrics().averageCharWidth() * 50);
}
