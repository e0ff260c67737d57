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
    if (m_unloaded) return;
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
    }
}

bool Form3::ReplyArrival(const QByteArrayList &lines) {
    const QByteArray code = ReplyFramer::code(lines.last());
    switch (Smtp_State) {
    case 0: // greeting
        if (code != "220") break;
        AppendTrace(lines);
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
        SendLine("RCPT TO:" + to + "\r\n");
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
        const QString &text = m_params.sender;
        if (unsafeOnWire(cp932::encode(text))) break;
        AppendTrace(lines);
        Smtp_State = 5;
        const QList<QByteArray> sends =
            noticeMessageSends(text, m_params.settingsTest, m_params.count);
        for (const QByteArray &part : sends)
            SendLine(part);
        return true;
    }
    case 5: // reply to the end of the data
        if (code != "250") break;
        AppendTrace(lines);
        Smtp_State = 6;
        SendLine(QByteArrayLiteral("QUIT \r\n"));
        return true;
    default: // any reply to QUIT
        SendFinished(lines);
        return false;
    }
    ReplyError(lines);
    return false;
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
    SendLine(QByteArrayLiteral("QUIT \r\n"));
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
