#include "smtp/form3.h"

#include "platform/codepage.h"
#include "smtp/noticemessage.h"

namespace {

// The server's reply for a log line, decoded per line and kept short.
QString replyText(const QByteArrayList &lines) {
    QStringList texts;
    for (const QByteArray &line : lines)
        texts << cp932::decode(line);
    return QStringLiteral("（") + texts.join(u' ').left(200) + QStringLiteral("）");
}

// The capability keywords of an EHLO reply (RFC 5321 4.1.1.1), upper case,
// the greeting line left out.
QList<QByteArrayList> ehloKeywords(const QByteArrayList &lines) {
    QList<QByteArrayList> keywords;
    for (qsizetype i = 1; i < lines.size(); ++i)
        keywords << lines[i].mid(4).trimmed().toUpper().replace('=', ' ').split(' ');
    return keywords;
}

bool threeDigits(QByteArrayView line) {
    if (line.size() < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    return true;
}

// False only for a continuation line: three digits and "-" (RFC 5321 4.2).
bool isLastLine(QByteArrayView line) {
    return !(threeDigits(line) && line.size() > 3 && line[3] == '-');
}

// The reply code of a last line: three digits followed by a blank or the
// line end; empty for anything else.
QByteArray replyCode(QByteArrayView lastLine) {
    if (!threeDigits(lastLine)) return {};
    if (lastLine.size() > 3 && lastLine[3] != ' ') return {};
    return lastLine.first(3).toByteArray();
}

QByteArray angleAddress(const QByteArray &address) {
    if (address.startsWith('<') && address.endsWith('>')) return address;
    return '<' + address + '>';
}

} // namespace

// A text line holds 1000 bytes with its CR LF (RFC 5321 4.5.3.1.6).
Form3::Form3(Link *link, QObject *parent) : LineSession(link, Framing{998, true}, parent) {
    setObjectName(QStringLiteral("Form3"));
    link->setObjectName(QStringLiteral("Winsock2"));
}

void Form3::Form_Load(const Params &params) {
    if (loaded()) return; // one dialogue per session
    m_params = params;
    Smtp_State = 0;
    // The local port is left to the system: binding 25 needs root and clashes
    // with a local mail server or a connection still closing.
    open({params.host, params.port, params.security, params.tls, params.guardMs});
}

bool Form3::lineArrived(QByteArrayView line) {
    m_replyLines << line.toByteArray();
    if (!isLastLine(line)) {
        if (m_replyLines.size() < MaxReplyLines) return true;
        WrongReply(m_replyLines);
        return false;
    }
    return ReplyArrival(std::exchange(m_replyLines, {}));
}

void Form3::lineTooLong() {
    // No server sends such a line: judge it as an unexpected reply.
    m_replyLines << QByteArray();
    WrongReply(m_replyLines);
}

bool Form3::ReplyArrival(const QByteArrayList &lines) {
    const QByteArray code = replyCode(lines.last());
    // The secure dialogue's own steps; MAIL FROM onwards is shared.
    if (secure() && Smtp_State >= 10) return SecureReply(code, lines);
    switch (Smtp_State) {
    case 0: // greeting
        if (code != "220") break;
        AppendTrace(lines);
        if (secure()) {
            SendEhlo();
            return true;
        }
        Smtp_State = 1;
        SendLine(QByteArrayLiteral("HELO kkkk \r\n"));
        return true;
    case 1: { // reply to HELO
        if (code != "250") break;
        const QString &text = m_params.sender;
        const QByteArray sender = text.isEmpty() ? fixedEnvelopeSender() : cp932::encode(text);
        if (smuggles(sender)) break;
        AppendTrace(lines);
        Smtp_State = 2;
        SendLine("MAIL FROM:<" + sender + ">\r\n");
        return true;
    }
    case 2: { // reply to MAIL FROM
        if (code != "250") break;
        const QByteArray to = cp932::encode(m_params.recipient);
        if (smuggles(to)) break;
        AppendTrace(lines);
        Smtp_State = 3;
        // The plain dialogue sends the recipient as typed, brackets or not.
        SendLine("RCPT TO:" + (secure() ? angleAddress(to) : to) + "\r\n");
        return true;
    }
    case 3: // reply to RCPT TO
        if (code != "250" && code != "251") break;
        AppendTrace(lines);
        Smtp_State = 4;
        SendLine(QByteArrayLiteral("DATA\r\n"));
        return true;
    case 4: { // reply to DATA
        if (code != "354") break;
        const bool ownFrom = secure() && !m_params.fromHeader.isEmpty();
        const QString text = ownFrom ? m_params.fromHeader : m_params.sender;
        if (smuggles(cp932::encode(text))) break;
        AppendTrace(lines);
        Smtp_State = 5;
        for (const QByteArray &part : NoticeSends(text))
            SendLine(part);
        return true;
    }
    case 5: // reply to the end of the data
        if (code != "250") break;
        AppendTrace(lines);
        Smtp_State = 6;
        SendLine(QuitLine());
        return true;
    default: // any reply to QUIT
        SendFinished(lines);
        return false;
    }
    ReplyError(lines);
    return false;
}

bool Form3::SecureReply(const QByteArray &code, const QByteArrayList &lines) {
    const QString authRefused = QStringLiteral("送信サーバ ") + m_params.host +
                                QStringLiteral(" が認証を拒否しました") + replyText(lines);
    switch (Smtp_State) {
    case 10: // reply to EHLO
        if (code != "250") break;
        AppendTrace(lines);
        AfterEhlo(lines);
        return !ended();
    case 11: // reply to STARTTLS
        if (code != "220") {
            ReplyError(lines, QStringLiteral("STARTTLS拒否"),
                       QStringLiteral("送信サーバ ") + m_params.host +
                           QStringLiteral(" がSTARTTLSを受け付けません") + replyText(lines));
            return false;
        }
        AppendTrace(lines);
        beginTls();
        return true;
    case 12: // AUTH: its continuations (334), then its end (235)
        if (code == "334" && saslContinue(QByteArrayView(lines.last()).sliced(3).trimmed())) {
            AppendTrace(lines);
            return true;
        }
        if (code != "235" || !saslComplete()) {
            if (saslBearer()) {
                const QString detail = saslRefusal();
                ReplyError(
                    lines, QStringLiteral("OAuth認証エラー"),
                    QStringLiteral("送信サーバ ") + m_params.host +
                        QStringLiteral(" がアクセストークンを拒否しました") +
                        (detail.isEmpty() ? QString() : QStringLiteral("（") + detail + u'）') +
                        replyText(lines));
            } else {
                ReplyError(lines, QStringLiteral("認証エラー"), authRefused);
            }
            return false;
        }
        AppendTrace(lines);
        SendMailFrom();
        return !ended();
    default:
        break;
    }
    ReplyError(lines);
    return false;
}

QList<QByteArray> Form3::NoticeSends(const QString &fromText) const {
    if (!secure())
        return noticeMessageSends(fromText, m_params.settingsTest, m_params.count,
                                  m_params.headerLines);
    // The Message-ID takes the domain of the envelope sender (RFC 5322 3.6.4).
    const QByteArray address = cp932::encode(m_params.envelopeFrom);
    const QByteArray domain = address.mid(address.lastIndexOf('@') + 1);
    return secureNoticeMessageSends(fromText, m_params.settingsTest, m_params.count, m_params.date,
                                    domain, m_params.recipient, m_params.headerLines);
}

QByteArray Form3::QuitLine() const {
    // The plain dialogue has always sent the blank before CR LF.
    return secure() ? QByteArrayLiteral("QUIT\r\n") : QByteArrayLiteral("QUIT \r\n");
}

void Form3::SendEhlo() {
    // The domain of the sender's address names this client (RFC 5321
    // 4.1.1.1); without one, the name every server takes.
    const QByteArray address = cp932::encode(m_params.envelopeFrom);
    QByteArray domain = address.mid(address.lastIndexOf('@') + 1);
    bool plainName = !domain.isEmpty();
    for (char c : domain)
        plainName = plainName && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '.' || c == '-');
    if (!plainName) domain = QByteArrayLiteral("localhost");
    Smtp_State = 10;
    SendLine("EHLO " + domain + "\r\n");
}

void Form3::AfterEhlo(const QByteArrayList &lines) {
    if (m_params.security == LinkSecurity::StartTls && !link()->isEncrypted()) {
        Smtp_State = 11;
        SendLine(QByteArrayLiteral("STARTTLS\r\n"));
        return;
    }
    if (!m_params.auth) {
        SendMailFrom();
        return;
    }
    // A password never crosses an unencrypted connection.
    if (!link()->isEncrypted()) {
        ReplyError({}, QStringLiteral("認証エラー"),
                   QStringLiteral("暗号化されていない接続では送信サーバに認証しません"));
        return;
    }
    QByteArrayList offered;
    for (const QByteArrayList &words : ehloKeywords(lines))
        if (words.value(0) == "AUTH") offered += words.mid(1);
    Smtp_State = 12;
    if (!m_params.accessToken.isEmpty()) {
        if (!saslBeginBearer(offered, m_params.authUser, m_params.accessToken, 0))
            ReplyError(
                {}, QStringLiteral("認証方式なし"),
                QStringLiteral("送信サーバ ") + m_params.host +
                    QStringLiteral(" にはXOAUTH2とOAUTHBEARERのどちらの認証方式もありません"));
        return;
    }
    if (!saslBegin(offered, m_params.authUser, m_params.authPassword))
        ReplyError({}, QStringLiteral("認証方式なし"),
                   QStringLiteral("送信サーバ ") + m_params.host +
                       QStringLiteral(" にはPLAINとLOGINのどちらの認証方式もありません"));
}

void Form3::SendMailFrom() {
    const QByteArray from = cp932::encode(m_params.envelopeFrom);
    if (smuggles(from)) {
        ReplyError({});
        return;
    }
    Smtp_State = 2;
    SendLine("MAIL FROM:" + angleAddress(from) + "\r\n");
}

void Form3::secured() {
    m_replyLines.clear();
    // The capabilities before the handshake count for nothing (RFC 3207 4.2).
    SendEhlo();
}

void Form3::WrongReply(const QByteArrayList &lines) {
    // After QUIT any reply ends the dialogue as sent: the server has
    // accepted the message, and sending it again would repeat the notice.
    if (Smtp_State == 6)
        SendFinished(lines);
    else
        ReplyError(lines);
}

void Form3::AppendTrace(const QByteArrayList &lines) {
    // Decoded per complete line: a chunk may split a two-byte character.
    for (const QByteArray &line : lines)
        Text1 += cp932::decode(line) + QStringLiteral("\r\n");
}

void Form3::ReplyError(const QByteArrayList &lines, const QString &status, const QString &log) {
    SessionResult r;
    r.status = status.isEmpty() ? QStringLiteral("エラー") : status;
    r.logMessage = log.isEmpty() ? QStringLiteral("送信サーバエラー") : log;
    r.refusedForGood = Smtp_State == 5;
    r.tokenRefused = Smtp_State == 12 && saslBearer();
    AppendTrace(lines);
    SendLine(QuitLine());
    Smtp_State = 6;
    finish(r);
}

SessionResult Form3::timedOut() const {
    SessionResult r;
    r.outcome = SessionResult::Outcome::TimedOut;
    r.status = QStringLiteral("送信タイムアウト");
    r.logMessage = QStringLiteral("送信サーバタイムアウト");
    return r;
}

void Form3::SendFinished(const QByteArrayList &lines) {
    AppendTrace(lines);
    succeed(true);
}
