#include "windows/providers.h"

#include <QFile>
#include <QHash>
#include <optional>

namespace {

std::optional<LinkSecurity> security(const QString &word) {
    if (word == u"none") return LinkSecurity::None;
    if (word == u"stls") return LinkSecurity::StartTls;
    if (word == u"tls") return LinkSecurity::Tls;
    return std::nullopt;
}

quint16 port(const QString &text) {
    bool ok = false;
    const uint n = text.toUInt(&ok);
    return ok && n > 0 && n <= 65535 ? quint16(n) : 0;
}

std::optional<Provider> provider(const QString &key, const QHash<QString, QString> &v) {
    Provider p;
    p.key = key;
    p.name = v.value(QStringLiteral("name"));
    p.hint = v.value(QStringLiteral("hint"));
    p.popServer = v.value(QStringLiteral("pop"));
    p.smtpServer = v.value(QStringLiteral("smtp"));
    p.popPort = port(v.value(QStringLiteral("pop_port")));
    p.smtpPort = port(v.value(QStringLiteral("smtp_port")));
    const auto pop = security(v.value(QStringLiteral("pop_security")));
    const auto smtp = security(v.value(QStringLiteral("smtp_security")));
    const QString signIn = v.value(QStringLiteral("signin"), QStringLiteral("password"));
    p.oauthSignIn = signIn == u"oauth";
    p.oauthProvider = v.value(QStringLiteral("oauth"));
    if (p.name.isEmpty() || p.popServer.isEmpty() || p.smtpServer.isEmpty() || !p.popPort ||
        !p.smtpPort || !pop || !smtp || (signIn != u"password" && !p.oauthSignIn) ||
        (p.oauthSignIn && p.oauthProvider.isEmpty()))
        return std::nullopt;
    p.popSecurity = *pop;
    p.smtpSecurity = *smtp;
    return p;
}

} // namespace

QList<Provider> providers::parse(const QByteArray &ini) {
    QList<Provider> out;
    QString key;
    QHash<QString, QString> values;
    const auto flush = [&] {
        if (!key.isEmpty())
            if (auto p = provider(key, values)) out << *p;
        values.clear();
    };
    for (const QByteArray &raw : ini.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            flush();
            key = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && !key.isEmpty())
            values.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    flush();
    return out;
}

const QList<Provider> &providers::all() {
    static const QList<Provider> list = [] {
        QFile f(QStringLiteral(":/providers.ini"));
        return f.open(QIODevice::ReadOnly) ? parse(f.readAll()) : QList<Provider>();
    }();
    return list;
}
