#include "check/settingsfile.h"

#include "check/keyring.h"
#include "platform/atomicfile.h"
#include "platform/codepage.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <optional>

namespace settingsfile {

namespace {

class Reader {
  public:
    explicit Reader(const QByteArray &bytes) : m_bytes(bytes) {}

    // A quoted field runs to its closing quote ("" inside stands for one
    // quote); what follows it up to the separator is skipped. A line break
    // inside the quotes makes the record unreadable.
    std::optional<QString> text() {
        if (!skipBlanks()) return std::nullopt;
        QByteArray raw;
        if (!atEnd() && peek() == '"') {
            ++m_pos;
            for (;;) {
                if (atEnd()) return std::nullopt;
                const char c = m_bytes[m_pos++];
                if (c == '\r' || c == '\n') return std::nullopt;
                if (c == '"') {
                    if (!atEnd() && peek() == '"') {
                        raw += '"';
                        ++m_pos;
                        continue;
                    }
                    break;
                }
                raw += c;
            }
            while (!atEnd() && !isSeparator(peek()))
                ++m_pos;
        } else {
            while (!atEnd() && !isSeparator(peek()))
                raw += m_bytes[m_pos++];
            raw = raw.trimmed();
        }
        endField();
        return cp932::decode(raw);
    }

    std::optional<qint16> integer() {
        if (!skipBlanks()) return std::nullopt;
        QByteArray raw;
        while (!atEnd() && !isSeparator(peek()))
            raw += m_bytes[m_pos++];
        endField();
        raw = raw.trimmed();
        if (raw.isEmpty()) return qint16(0);
        bool ok = false;
        const int value = raw.toInt(&ok, 10);
        if (!ok || value < -32768 || value > 32767) return std::nullopt;
        return qint16(value);
    }

  private:
    static bool isSeparator(char c) { return c == ',' || c == '\r' || c == '\n'; }
    bool atEnd() const { return m_pos >= m_bytes.size(); }
    char peek() const { return m_bytes[m_pos]; }

    // False when the file has ended before this field: a field exists at the
    // end of the file only when a comma announced it.
    bool skipBlanks() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t'))
            ++m_pos;
        return !atEnd() || m_afterComma;
    }

    // A field ends at a comma or a line end (CR LF counts once).
    void endField() {
        m_afterComma = false;
        if (atEnd()) return;
        const char c = m_bytes[m_pos++];
        if (c == ',')
            m_afterComma = true;
        else if (c == '\r' && !atEnd() && peek() == '\n')
            ++m_pos;
    }

    const QByteArray &m_bytes;
    qsizetype m_pos = 0;
    bool m_afterComma = false;
};

QByteArray quoted(const QString &text) {
    QByteArray bytes = cp932::encode(text);
    bytes.replace('"', "\"\"");
    return '"' + bytes + '"';
}

} // namespace

bool parse(const QByteArray &bytes, SettingsRecord &r) {
    Reader in(bytes);
    auto text = [&](QString &field) {
        auto v = in.text();
        if (v) field = *v;
        return v.has_value();
    };
    auto integer = [&](qint16 &field) {
        auto v = in.integer();
        if (v) field = *v;
        return v.has_value();
    };
    return text(r.POP_Address) && text(r.POP_PassWord) && text(r.Smtp_Address) &&
           text(r.Trf_IPAddress) && text(r.POP_UserID) && text(r.Smtp_mail_address) &&
           integer(r.Dup_Mode) && integer(r.Check_Interval) && integer(r.Quiet_Flag) &&
           integer(r.Trf_Flag) && text(r.Quiet_Start) && text(r.Quiet_End) && text(r.Dup_Entry);
}

QByteArray format(const SettingsRecord &r) {
    const QByteArray comma(",");
    return quoted(r.POP_Address) + comma + quoted(r.POP_PassWord) + comma + quoted(r.Smtp_Address) +
           comma + quoted(r.Trf_IPAddress) + comma + quoted(r.POP_UserID) + comma +
           quoted(r.Smtp_mail_address) + comma + QByteArray::number(r.Dup_Mode) + comma +
           QByteArray::number(r.Check_Interval) + comma + QByteArray::number(r.Quiet_Flag) + comma +
           QByteArray::number(r.Trf_Flag) + comma + quoted(r.Quiet_Start) + comma +
           quoted(r.Quiet_End) + comma + quoted(r.Dup_Entry) + "\r\n";
}

namespace {

const QString EntryKey = QStringLiteral("dialup_entry");

// The side file's lines; anything that is not "key=value" is dropped.
QMap<QString, QString> readSide(const QString &path) {
    QMap<QString, QString> values;
    const std::optional<QByteArray> bytes = readRegularFile(path, 1 << 16);
    if (!bytes) return values;
    const QString text = QString::fromUtf8(*bytes);
    for (const QString &line : text.split(u'\n')) {
        const QString l = line.trimmed();
        const qsizetype eq = l.indexOf(u'=');
        if (l.startsWith(u'#') || eq <= 0) continue;
        values.insert(l.first(eq), l.mid(eq + 1));
    }
    return values;
}

QByteArray formatSide(const QMap<QString, QString> &values) {
    QByteArray out("# クイルモン7400: settings quil7400.dat cannot hold\n");
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        out += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    return out;
}

using Security = ConnectionSettings::Security;

const char *const SecurityNames[] = {"none", "starttls", "tls"};

Security securityOf(const QString &text) {
    for (int i = 0; i < 3; ++i)
        if (text == QLatin1String(SecurityNames[i])) return Security(i);
    return Security::None;
}

// Keys at their defaults are left out: a plain user's file holds nothing.
void readConnection(const QMap<QString, QString> &side, ConnectionSettings &c) {
    c.popSecurity = securityOf(side.value(QStringLiteral("pop_security")));
    c.popPort = quint16(qBound(0, side.value(QStringLiteral("pop_port")).toInt(), 65535));
    c.smtpSecurity = securityOf(side.value(QStringLiteral("smtp_security")));
    c.smtpPort = quint16(qBound(0, side.value(QStringLiteral("smtp_port")).toInt(), 65535));
    c.smtpAuth = side.value(QStringLiteral("smtp_auth")) == u"1";
    c.smtpUser = side.value(QStringLiteral("smtp_user"));
    c.smtpPassword = side.value(QStringLiteral("smtp_password"));
    c.smtpFrom = side.value(QStringLiteral("smtp_from"));
    for (auto [accepted, key] : {std::pair{&c.popAccepted, QStringLiteral("pop_fingerprint")},
                                 std::pair{&c.smtpAccepted, QStringLiteral("smtp_fingerprint")}}) {
        accepted->sha256 = side.value(key);
        // host:port; the host may be an IPv6 address, the port comes last.
        const QString server = side.value(key + QStringLiteral("_server"));
        const qsizetype colon = server.lastIndexOf(u':');
        if (accepted->sha256.isEmpty() || colon <= 0) continue;
        accepted->host = server.left(colon);
        accepted->port = quint16(qBound(0, server.mid(colon + 1).toInt(), 65535));
    }
    c.desktopNotify = side.value(QStringLiteral("desktop_notify")) == u"1";
    c.mailCommand = side.value(QStringLiteral("mail_command"));
    c.showHeaders = side.value(QStringLiteral("show_headers")) != u"0";
    c.noticeHeaders = side.value(QStringLiteral("notice_headers")) == u"1";
    c.keyring = side.value(QStringLiteral("keyring")) == u"1";
    c.keyringSmtp = c.keyring && side.value(QStringLiteral("keyring_smtp")) == u"1";
    c.signIn = side.value(QStringLiteral("sign_in")) == u"oauth"
                   ? ConnectionSettings::SignIn::OAuth
                   : ConnectionSettings::SignIn::Password;
    c.oauthDesktop = side.value(QStringLiteral("oauth_source")) == u"goa";
    c.oauthProvider = side.value(QStringLiteral("oauth_provider"));
    c.oauthClientId = side.value(QStringLiteral("oauth_client_id"));
    c.oauthRefreshToken = side.value(QStringLiteral("oauth_refresh_token"));
    if (c.keyring) c.smtpPassword.clear(); // a leftover from before is not used
    if (c.keyring) c.oauthRefreshToken.clear();
    c.keyringEntries =
        side.value(QStringLiteral("keyring_entries")).split(u'\t', Qt::SkipEmptyParts);
}

void writeConnection(const ConnectionSettings &c, QMap<QString, QString> &side) {
    auto put = [&side](const char *key, const QString &value) {
        if (value.isEmpty())
            side.remove(QLatin1String(key));
        else
            side.insert(QLatin1String(key), value);
    };
    auto security = [](Security s) {
        return s == Security::None ? QString() : QLatin1String(SecurityNames[int(s)]);
    };
    auto port = [](quint16 p) { return p ? QString::number(p) : QString(); };
    put("pop_security", security(c.popSecurity));
    put("pop_port", port(c.popPort));
    put("smtp_security", security(c.smtpSecurity));
    put("smtp_port", port(c.smtpPort));
    put("smtp_auth", c.smtpAuth ? QStringLiteral("1") : QString());
    put("smtp_user", c.smtpUser);
    put("smtp_password", c.keyring ? QString() : c.smtpPassword);
    put("smtp_from", c.smtpFrom);
    // The fingerprint keeps its key of old; the server it belongs to beside it.
    for (auto [accepted, key] : {std::pair{&c.popAccepted, "pop_fingerprint"},
                                 std::pair{&c.smtpAccepted, "smtp_fingerprint"}}) {
        const bool bound = !accepted->sha256.isEmpty() && !accepted->host.isEmpty();
        put(key, accepted->sha256);
        put((QByteArray(key) + "_server").constData(),
            bound ? accepted->host + u':' + QString::number(accepted->port) : QString());
    }
    put("desktop_notify", c.desktopNotify ? QStringLiteral("1") : QString());
    put("mail_command", c.mailCommand);
    put("show_headers", c.showHeaders ? QString() : QStringLiteral("0"));
    put("notice_headers", c.noticeHeaders ? QStringLiteral("1") : QString());
    put("keyring", c.keyring ? QStringLiteral("1") : QString());
    put("keyring_smtp",
        c.keyring && c.smtpAuth && !c.smtpPassword.isEmpty() ? QStringLiteral("1") : QString());
    put("keyring_entries", c.keyringEntries.join(u'\t'));
    const bool oauth = c.signIn == ConnectionSettings::SignIn::OAuth;
    put("sign_in", oauth ? QStringLiteral("oauth") : QString());
    put("oauth_source", c.oauthDesktop ? QStringLiteral("goa") : QString());
    put("oauth_provider", c.oauthProvider);
    put("oauth_client_id", c.oauthClientId);
    // Kept even while the password is chosen: switching back needs no new sign-in.
    put("oauth_refresh_token", c.keyring ? QString() : c.oauthRefreshToken);
}

} // namespace

QString unrepresentableField(const SettingsRecord &r) {
    const std::pair<const QString *, const char16_t *> fields[] = {
        {&r.POP_Address, u"受信メールサーバ（ＰＯＰ３）"},
        {&r.Smtp_Address, u"送信メールサーバ（ＳＭＴＰ）"},
        {&r.POP_UserID, u"ユーザアカウント"},
        {&r.POP_PassWord, u"メールサーバパスワード"},
        {&r.Trf_IPAddress, u"送信先アドレス"},
        {&r.Smtp_mail_address, u"送信者名"},
        {&r.Quiet_Start, u"チェックしない時間帯"},
        {&r.Quiet_End, u"チェックしない時間帯"},
    };
    for (const auto &[text, caption] : fields)
        if (!cp932::representable(*text)) return QString::fromUtf16(caption);
    return QString();
}

quint16 serverPort(const ConnectionSettings &c, bool smtp, quint16 plainPort) {
    if (!smtp) return c.popPort ? c.popPort : c.popSecurity == Security::Tls ? 995 : plainPort;
    if (c.smtpPort) return c.smtpPort;
    switch (c.smtpSecurity) {
    case Security::None:
        break;
    case Security::StartTls:
        return 587;
    case Security::Tls:
        return 465;
    }
    return plainPort;
}

bool isServer(const SettingsRecord &r, bool smtp, quint16 plainPort, const QString &host,
              quint16 port) {
    return !host.isEmpty() &&
           host.compare(smtp ? r.Smtp_Address : r.POP_Address, Qt::CaseInsensitive) == 0 &&
           port == serverPort(r.connection, smtp, plainPort);
}

void bindAcceptances(SettingsRecord &r, quint16 popPlainPort, quint16 smtpPlainPort) {
    ConnectionSettings &c = r.connection;
    if (!c.popAccepted.sha256.isEmpty() && c.popAccepted.host.isEmpty())
        c.popAccepted = {r.POP_Address, serverPort(c, false, popPlainPort), c.popAccepted.sha256};
    if (!c.smtpAccepted.sha256.isEmpty() && c.smtpAccepted.host.isEmpty())
        c.smtpAccepted = {r.Smtp_Address, serverPort(c, true, smtpPlainPort),
                          c.smtpAccepted.sha256};
}

QString recordPath(const QString &dir) {
    return QDir(dir).filePath(QStringLiteral("quil7400.dat"));
}

QString sidePath(const QString &dir) {
    return QDir(dir).filePath(QStringLiteral("quil7400.conf"));
}

bool load(const QString &dir, SettingsRecord &record) {
    // A settings line is short; anything huge is not ours.
    const std::optional<QByteArray> bytes = readRegularFile(recordPath(dir), 1 << 20);
    if (!bytes || !parse(*bytes, record)) return false;
    // The exact entry name counts only while the record still holds what
    // was saved with it: the Windows program may have changed the record.
    const QMap<QString, QString> side = readSide(sidePath(dir));
    const QString exact = side.value(EntryKey);
    if (!exact.isEmpty() && cp932::encode(exact) == cp932::encode(record.Dup_Entry))
        record.Dup_Entry = exact;
    readConnection(side, record.connection);
    // Files of old did not say which entries were theirs: those they use.
    ConnectionSettings &c = record.connection;
    if (c.keyring && !side.contains(QStringLiteral("keyring_entries"))) {
        c.keyringEntries = QStringList{keyring::popKey(record)};
        if (c.keyringSmtp) c.keyringEntries << keyring::smtpKey(record);
    }
    return true;
}

QStringList keyringEntries(const QString &dir) {
    const QMap<QString, QString> side = readSide(sidePath(dir));
    if (side.value(QStringLiteral("keyring")) != u"1") return {};
    return side.value(QStringLiteral("keyring_entries")).split(u'\t', Qt::SkipEmptyParts);
}

bool save(const QString &dir, const SettingsRecord &record) {
    // With the keyring chosen the field stays, empty: the record keeps its
    // 13 fields for the Windows program.
    SettingsRecord stored = record;
    if (record.connection.keyring) stored.POP_PassWord.clear();
    if (!writeFileAtomically(recordPath(dir), format(stored))) return false;
    const QString side = sidePath(dir);
    const QMap<QString, QString> before = readSide(side);
    QMap<QString, QString> values = before;
    if (cp932::representable(record.Dup_Entry))
        values.remove(EntryKey);
    else
        values.insert(EntryKey, record.Dup_Entry);
    writeConnection(record.connection, values);
    if (values == before && (QFileInfo::exists(side) || values.isEmpty()))
        return true; // nothing new to say: no file made or rewritten
    return writeFileAtomically(side, formatSide(values));
}

} // namespace settingsfile
