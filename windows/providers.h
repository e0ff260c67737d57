#pragma once
// The プロバイダ presets of 接続設定: servers, ports, security and sign-in of
// the common providers, read from resources/providers.ini (built in).
#include "check/settingsfile.h"

#include <QList>
#include <QString>

struct Provider {
    QString key; // the section name, e.g. "gmail"
    QString name, hint;
    QString popServer, smtpServer;
    quint16 popPort = 0, smtpPort = 0;
    LinkSecurity popSecurity = LinkSecurity::None, smtpSecurity = LinkSecurity::None;
    bool oauthSignIn = false; // the sign-in method the provider asks for
    QString oauthProvider;    // the built-in OAuth provider it takes, if any
};

namespace providers {
// The presets in file order. A section missing a server, a port or a known
// security is left out rather than half applied.
QList<Provider> parse(const QByteArray &ini);
// The built-in list.
const QList<Provider> &all();
} // namespace providers
