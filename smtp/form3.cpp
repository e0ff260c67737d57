#include "smtp/form3.h"

#include "platform/codepage.h"
#include "platform/tcplink.h"
#include "smtp/noticemessage.h"

#include <QTimer>

namespace {

// Text from the settings could end a command early and smuggle in another
// (or end the data early inside the message).
bool unsafeOnWire(const QByteArray &bytes) {
    return bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
}

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

QByteArray angleAddress(const QByteArray &address) {
    if (address.startsWith('<') && address.endsWith('>')) return address;
    return '<' + address + '>';
}

} // namespace

Form3::Form3(QObject *parent)
    : QObject(parent), Winsock2(new TcpLink(this)), Timer1(new QTimer(this)),
      Timer2(new QTimer(this)) {
    setObjectName(QStringLiteral("Form3"));
    Winsock2->setObjectName(QStringLiteral("Winsock2"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer1->setSingleShot(true);
    Timer2->setSingleShot(true);
    connect(Winsock2, &TcpLink::connected, this, &Form3::Winsock2_Connect);
    connect(Winsock2, &TcpLink::readyRead, this, &Form3::Winsock2_DataArrival);
    connect(Winsock2, &TcpLink::encrypted, this, &Form3::Encrypted);
    connect(Winsock2, &TcpLink::tlsFailed, this, &Form3::TlsFailed);
    // The plain dialogue leaves an unreachable server to its connect guard,
    // as it always has; a secure one says so at once.
    connect(Winsock2, &TcpLink::unreachable, this, [this] {
        if (m_unloaded || !secure()) return;
        failureStatus = QStringLiteral("送信サーバに接続できません");
        failureLog = QStringLiteral("送信サーバ %1 のポート %2 に接続できません")
                         .arg(m_params.host)
                         .arg(m_params.port);
        End(Outcome::Refused);
    });
    connect(Timer1, &QTimer::timeout, this, &Form3::Timer1_Timer);
    connect(Timer2, &QTimer::timeout, this, &Form3::Timer2_Timer);
}

Form3::~Form3() {
    Form_Unload();
}

void Form3::Form_Load(const Params &params) {
    // One dialogue per load: a second request while loaded changes nothing.
    if (m_loaded || m_unloaded) return;
    m_loaded = true;
    m_params = params;

    Winsock2->abort();
    // The local port is left to the system: binding 25 needs root and clashes
    // with a local mail server or a connection still closing.
    // No events may run from here on until the timer is armed.
    if (m_params.security == Security::Tls)
        Winsock2->connectToHostEncrypted(m_params.host, m_params.port, m_params.tls);
    else
        Winsock2->connectToHost(m_params.host, m_params.port);
    Smtp_State = 0;
    emit statusChanged(QStringLiteral("接続中"));
    Timer1->start(m_params.guardMs);
}

void Form3::Form_Unload() {
    if (m_unloaded) return;
    m_unloaded = true;
    Timer1->stop();
    Timer2->stop();
    disconnect(Winsock2, nullptr, this, nullptr);
    Winsock2->abort();
}

void Form3::Winsock2_Connect() {
    emit statusChanged(QStringLiteral("接続しました"));
    Timer1->stop();
    Timer2->start(m_params.guardMs);
}

void Form3::Winsock2_DataArrival() {
    if (m_unloaded) return;
    takeBytes(Winsock2->readAll());
}

void Form3::takeBytes(QByteArrayView bytes) {
    // Anything in the clear between STARTTLS's 220 and the handshake could
    // be an attacker's (RFC 3207 6): dropped.
    if (m_unloaded || m_securing) return;
    m_framer.append(bytes);
    for (;;) {
        QByteArray line;
        const ReplyFramer::Result r = m_framer.nextLine(line);
        if (r == ReplyFramer::Result::NeedMore) return;
        if (r == ReplyFramer::Result::TooLong) {
            // No server sends such a line: judge it as an unexpected reply.
            m_replyLines << line.left(ReplyFramer::MaxLine);
            WrongReply(m_replyLines);
            return;
        }
        // A server still talking, line by line, is not silent.
        Timer2->start(m_params.guardMs);
        m_replyLines << line;
        if (!ReplyFramer::isLastLine(line)) {
            if (m_replyLines.size() < ReplyFramer::MaxReplyLines) continue;
            WrongReply(m_replyLines);
            return;
        }
        const QByteArrayList reply = std::exchange(m_replyLines, {});
        if (!ReplyArrival(reply)) return;
        if (m_securing) {
            m_framer.clear();
            return;
        }
    }
}

bool Form3::ReplyArrival(const QByteArrayList &lines) {
    const QByteArray code = ReplyFramer::code(lines.last());
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
        if (unsafeOnWire(sender)) break;
        AppendTrace(lines);
        Smtp_State = 2;
        SendLine("MAIL FROM:<" + sender + ">\r\n");
        return true;
    }
    case 2: { // reply to MAIL FROM
        if (code != "250") break;
        const QByteArray to = cp932::encode(m_params.recipient);
        if (unsafeOnWire(to)) break;
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
        if (unsafeOnWire(cp932::encode(text))) break;
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
        return !m_unloaded;
    case 11: // reply to STARTTLS
        if (code != "220") {
            SecureRefusal(QStringLiteral("STARTTLS拒否"),
                          QStringLiteral("送信サーバ ") + m_params.host +
                              QStringLiteral(" がSTARTTLSを受け付けません") + replyText(lines),
                          lines);
            return false;
        }
        AppendTrace(lines);
        m_securing = true;
        Winsock2->startTls(m_params.tls);
        return true;
    case 12: // the end of AUTH
        if (code != "235") {
            SecureRefusal(QStringLiteral("認証エラー"), authRefused, lines);
            return false;
        }
        AppendTrace(lines);
        SendMailFrom();
        return !m_unloaded;
    case 13: // AUTH LOGIN asks for the user name, then the password (334)
    case 14:
        if (code != "334") {
            SecureRefusal(QStringLiteral("認証エラー"), authRefused, lines);
            return false;
        }
        AppendTrace(lines);
        SendLine(
            (Smtp_State == 13 ? m_params.authUser : m_params.authPassword).toUtf8().toBase64() +
            "\r\n");
        Smtp_State = Smtp_State == 13 ? 14 : 12;
        return true;
    default:
        break;
    }
    ReplyError(lines);
    return false;
}

QList<QByteArray> Form3::NoticeSends(const QString &fromText) const {
    if (!secure()) return noticeMessageSends(fromText, m_params.settingsTest, m_params.count);
    // The Message-ID takes the domain of the envelope sender (RFC 5322 3.6.4).
    const QByteArray address = cp932::encode(m_params.envelopeFrom);
    const QByteArray domain = address.mid(address.lastIndexOf('@') + 1);
    return secureNoticeMessageSends(fromText, m_params.settingsTest, m_params.count, m_params.date,
                                    domain);
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
    if (m_params.security == Security::StartTls && !Winsock2->isEncrypted()) {
        Smtp_State = 11;
        SendLine(QByteArrayLiteral("STARTTLS\r\n"));
        return;
    }
    if (!m_params.auth) {
        SendMailFrom();
        return;
    }
    // A password never crosses an unencrypted connection.
    if (!Winsock2->isEncrypted()) {
        SecureRefusal(QStringLiteral("認証エラー"),
                      QStringLiteral("暗号化されていない接続では送信サーバに認証しません"), {});
        return;
    }
    bool plain = false, login = false;
    for (const QByteArrayList &words : ehloKeywords(lines)) {
        if (words.value(0) != "AUTH") continue;
        plain = plain || words.contains("PLAIN");
        login = login || words.contains("LOGIN");
    }
    const QByteArray user = m_params.authUser.toUtf8(), password = m_params.authPassword.toUtf8();
    if (plain && !user.contains('\0') && !password.contains('\0')) {
        // RFC 4616: authorization identity empty, then user and password.
        Smtp_State = 12;
        SendLine("AUTH PLAIN " + ('\0' + user + '\0' + password).toBase64() + "\r\n");
    } else if (login) {
        Smtp_State = 13;
        SendLine(QByteArrayLiteral("AUTH LOGIN\r\n"));
    } else {
        SecureRefusal(QStringLiteral("認証方式なし"),
                      QStringLiteral("送信サーバ ") + m_params.host +
                          QStringLiteral(" にはPLAINとLOGINのどちらの認証方式もありません"),
                      {});
    }
}

void Form3::SendMailFrom() {
    const QByteArray from = cp932::encode(m_params.envelopeFrom);
    if (unsafeOnWire(from)) {
        ReplyError({});
        return;
    }
    Smtp_State = 2;
    SendLine("MAIL FROM:" + angleAddress(from) + "\r\n");
}

void Form3::SecureRefusal(const QString &status, const QString &log, const QByteArrayList &lines) {
    failureStatus = status;
    failureLog = log;
    ReplyError(lines);
}

void Form3::Encrypted() {
    if (m_unloaded || !m_securing) return;
    m_securing = false;
    m_framer.clear();
    m_replyLines.clear();
    Timer2->start(m_params.guardMs);
    // The capabilities before the handshake count for nothing (RFC 3207 4.2).
    SendEhlo();
}

void Form3::TlsFailed(TcpLink::TlsError error, const QByteArray &fingerprint,
                      const QString &detail) {
    if (m_unloaded) return;
    tlsFailedFlag = true;
    tlsError = error;
    this->fingerprint = fingerprint;
    tlsDetail = detail;
    End(Outcome::Refused);
}

void Form3::WrongReply(const QByteArrayList &lines) {
    // After QUIT any reply ends the dialogue as sent: the server has
    // accepted the message, and sending it again would repeat the notice.
    if (Smtp_State == 6)
        SendFinished(lines);
    else
        ReplyError(lines);
}

void Form3::SendLine(const QByteArray &bytes) {
    if (sendTap) sendTap(bytes);
    // Fire and forget: a line that cannot go out shows up as a silent server.
    if (!Winsock2->isConnected()) return;
    Winsock2->write(bytes);
    // Out at once: the dialogue may end, and drop the connection, before
    // the event loop would have written it (QUIT after an error).
    Winsock2->flush();
}

void Form3::AppendTrace(const QByteArrayList &lines) {
    // Decoded per complete line: a chunk may split a two-byte character.
    for (const QByteArray &line : lines)
        Text1 += cp932::decode(line) + QStringLiteral("\r\n");
}

void Form3::ReplyError(const QByteArrayList &lines) {
    const bool messageRefused = Smtp_State == 5;
    AppendTrace(lines);
    SendLine(QuitLine());
    Smtp_State = 6;
    End(Outcome::Refused, messageRefused);
}

void Form3::End(Outcome outcome, bool messageRefused) {
    // Quiet at once: nothing the listener does can bring a reply or a
    // time-out back into this dialogue.
    Form_Unload();
    emit finished(outcome, messageRefused);
}

void Form3::Timer1_Timer() {
    SendTimeOut();
}

void Form3::Timer2_Timer() {
    SendTimeOut();
}

void Form3::SendTimeOut() {
    if (m_unloaded) return;
    End(Outcome::TimedOut);
}

void Form3::SendFinished(const QByteArrayList &lines) {
    AppendTrace(lines);
    Winsock2->close();
    End(Outcome::Sent);
}
