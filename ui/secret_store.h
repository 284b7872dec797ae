#pragma once

#include <QString>
#include <optional>

#include "crawl/base/crawl_dialog.h"

// Logins the person asked to have remembered, kept in the desktop's secret store and nowhere
// else. A desktop without one keeps nothing, and says so when asked to keep.

// The login kept for the realm of a server ("scheme://server"), or nothing.
std::optional<CrawlDialog::Login> RecalledLogin(const QString& server, const QString& realm);
// The store's reason where it could not keep the login; empty once kept.
QString KeepLogin(const QString& server, const QString& realm, const CrawlDialog::Login& login);
void ForgetLogin(const QString& server, const QString& realm);
