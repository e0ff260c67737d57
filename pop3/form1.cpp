#include "pop3/form1.h"

#include "platform/codepage.h"
#include "platform/tcplink.h"

#include <QTimer>
#include <cstring>

namespace {

const QString UidlRefusedLog = QStringLiteral("メールチェック失敗（UIDLが拒否されました）");

// A command argument that would end the line early or smuggle in a second
// command is never sent. Judged on the bytes that would go out.
bool unsafeArgument(const QByteArray &bytes) {
    return bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
}

bool allDigits(QStringView text) {
    if (text.isEmpty()) return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9') return false;
    return true;
}

// The value of the leading digits (after an optional sign), stopping at the
// top of 16 bits; negative counts are taken as 0.
qint16 countValue(QStringView text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    qint64 value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = qMin<qint64>(value * 10 + (text[i].unicode() - u'0'), 32767);
    return negative ? qint16(0) : qint16(value);
}

} // namespace

Form1::Form1(QObject *parent)
    : QObject(parent), Winsock1(new TcpLink(this)), Timer1(new QTimer(this)),
      Timer2(new QTimer(this)) {
    setObjectName(QStringLiteral("Form1"));
    Winsock1->setObjectName(QStringLiteral("Winsock1"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer1->setSingleShot(true);
    Timer2->setSingleShot(true);
    connect(Winsock1, &TcpLink::connected, this, &Form1::Winsock1_Connect);
    connect(Winsock1, &TcpLink::readyRead, this, &Form1::Winsock1_DataArrival);
    connect(Winsock1, &TcpLink::disconnected, this, &Form1::Winsock1_Close);
    connect(Winsock1, &TcpLink::encrypted, this, &Form1::encrypted);
    connect(Winsock1, &TcpLink::tlsFailed, this, &Form1::tlsFailed);
    // In the plain mode a server that cannot be reached ends by the connect
    // guard, as it always has; a secure mode says so at once.
    connect(Winsock1, &TcpLink::unreachable, this, [this] {
        if (m_finished || m_params.security == Security::None) return;
        failure(QStringLiteral("受信サーバに接続できません"),
                QStringLiteral("受信サーバ %1 のポート %2 に接続できません")
                    .arg(m_params.host)
                    .arg(m_params.port));
    });
    // The Error event does nothing: a failed connection ends by its guard.
    connect(Timer1, &QTimer::timeout, this, &Form1::timeout);
    connect(Timer2, &QTimer::timeout, this, &Form1::timeout);
}

void Form1::Form_Load(const Params &params) {
    m_params = params;
    closeSocket();
    // No events may run from here to the guard's start: the connected event
    // must find the state set.
    m_ownClose = false;
    m_securing = false;
    m_buffer.clear();
    if (m_params.security == Security::Tls)
        Winsock1->connectToHostEncrypted(m_params.host, m_params.port, m_params.tls);
    else
        Winsock1->connectToHost(m_params.host, m_params.port);
    emit statusChanged(QStringLiteral("接続中"));
    Pop_State = 0;
    Timer1->start(m_params.guardMs);
}

void Form1::Form_Unload() {
    m_finished = true;
    Timer1->stop();
    Timer2->stop();
    disconnect(Winsock1, nullptr, this, nullptr);
    disconnect(Timer1, nullptr, this, nullptr);
    disconnect(Timer2, nullptr, this, nullptr);
    Winsock1->abort();
}

void Form1::Winsock1_Connect() {
    if (m_finished) return;
    emit statusChanged(QStringLiteral("接続しました"));
    Timer1->stop();
    Timer2->start(m_params.guardMs);
    // Judged at once, as before: a user name that would smuggle in a command
    // ends the check without waiting for the greeting.
    if (unsafeArgument(cp932::encode(m_params.user)))
        failure(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
    // USER waits for the greeting (RFC 1939 4).
}

void Form1::sendUser() {
    Pop_State = 1;
    sendLine("USER " + cp932::encode(m_params.user));
}

void Form1::encrypted() {
    if (m_finished || !m_securing) return;
    m_securing = false;
    m_buffer.clear();
    Timer2->start(m_params.guardMs);
    sendUser();
}

void Form1::tlsFailed(TcpLink::TlsError error, const QByteArray &fingerprint,
                      const QString &detail) {
    if (m_finished) return;
    Result r;
    r.outcome = Outcome::Failed;
    r.tlsFailed = true;
    r.tlsError = error;
    r.fingerprint = fingerprint;
    r.tlsDetail = detail;
    finish(std::move(r));
}

void Form1::Winsock1_DataArrival() {
    if (m_finished) return;
    takeBytes(Winsock1->readAll());
}

void Form1::takeBytes(QByteArrayView bytes) {
    // Anything in the clear between STLS's "+OK" and the handshake could be
    // an attacker's (RFC 2595 4, RFC 3207 6): dropped.
    if (m_finished || m_securing) return;
    m_buffer.append(bytes);

    // Act on complete lines only: a reply may arrive in pieces, or several
    // replies together. A line ends at CR LF.
    const char *data = m_buffer.constData();
    const qsizetype size = m_buffer.size();
    qsizetype pos = 0;
    qsizetype searchFrom = 0;
    bool restarted = false;
    while (searchFrom < size) {
        const void *lf = std::memchr(data + searchFrom, '\n', size_t(size - searchFrom));
        if (!lf) break;
        const qsizetype nl = static_cast<const char *>(lf) - data;
        if (nl == pos || data[nl - 1] != '\r') {
            searchFrom = nl + 1; // a bare LF belongs to the line
            continue;
        }
        if (!restarted) {
            Timer2->start(m_params.guardMs);
            restarted = true;
        }
        const qsizetype length = nl - 1 - pos;
        if (length > MaxLineBytes) {
            tooLong();
            return;
        }
        if (!handleLine(QByteArrayView(data + pos, length))) return;
        if (m_securing) {
            m_buffer.clear();
            return;
        }
        pos = nl + 1;
        searchFrom = pos;
    }
    m_buffer.remove(0, pos);
    // One byte more than a line's room may be its CR still waiting for LF.
    if (m_buffer.size() > MaxLineBytes + 1) tooLong();
}

void Form1::tooLong() {
    switch (Pop_State) {
    case 0:
        failure(QStringLiteral("ユーザＩＤが違います"),
                QStringLiteral("受信サーバのユーザＩＤが違います"));
        break;
    case 1:
        failure(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
        break;
    case 2:
        failure(QStringLiteral("パスワードが違います"),
                QStringLiteral("受信サーバのパスワードが違います"));
        break;
    case 5:
        failure(QStringLiteral("メールチェック失敗"), UidlRefusedLog);
        break;
    case 7:
        stlsRefused(QStringLiteral("（応答行が長すぎます）"));
        break;
    default: // the LIST reply and the UIDL listing
        malformedListing();
        break;
    }
}

bool Form1::handleLine(QByteArrayView line) {
    switch (Pop_State) {
    case 4:
        // Scan lines of LIST; only their number is kept.
        if (!line.isEmpty() && line[0] == '.') {
            if (m_countFromScan) {
                m_count = qint16(qMin<qint64>(m_scanLines, 32767));
                emit statusChanged(QString::number(m_scanLines) +
                                   QStringLiteral("通のメールがあります"));
            }
            Pop_State = 5;
            sendLine(QByteArrayLiteral("UIDL"));
            emit statusChanged(QStringLiteral("メールチェック中"));
        } else if (++m_scanLines > MaxUids) {
            // A LIST without end would hold the check as long as it goes on.
            malformedListing();
            return false;
        }
        break;
    case 6:
        if (line == QByteArrayView(".")) {
            Uidl_Data += ".\r\n";
            listingComplete();
            return false;
        }
        if (Uidl_Data.size() + line.size() + 2 > MaxListingBytes) {
            malformedListing();
            return false;
        }
        Uidl_Data.append(line.data(), line.size());
        Uidl_Data += "\r\n";
        break;
    default:
        // Status lines are decoded whole, so a two-byte character split
        // between arrivals reads right.
        handleStatusLine(cp932::decode(line));
        break;
    }
    return !m_finished;
}

void Form1::handleStatusLine(const QString &line) {
    const bool ok = line.startsWith(u"+OK");
    switch (Pop_State) {
    case 0: // the greeting
        if (ok && m_params.security == Security::StartTls) {
            Pop_State = 7;
            sendLine(QByteArrayLiteral("STLS"));
        } else if (ok) {
            sendUser();
        } else
            failure(QStringLiteral("ユーザＩＤが違います"),
                    QStringLiteral("受信サーバのユーザＩＤが違います"));
        break;
    case 1: // reply to USER
        if (!ok) {
            failure(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
        } else if (const QByteArray password = cp932::encode(m_params.password);
                   unsafeArgument(password)) {
            failure(QStringLiteral("パスワードが違います"),
                    QStringLiteral("受信サーバのパスワードが違います"));
        } else {
            sendLine("PASS " + password);
            Pop_State = 2;
        }
        break;
    case 2: // reply to PASS
        if (ok) {
            Pop_State = 3;
            Uidl_Data.clear();
            sendLine(QByteArrayLiteral("LIST "));
        } else {
            failure(QStringLiteral("パスワードが違います"),
                    QStringLiteral("受信サーバのパスワードが違います"));
        }
        break;
    case 3: { // first line of LIST: the count from the 5th character
        QStringView countText;
        if (line.size() > 4) {
            countText = QStringView(line).sliced(4);
            for (qsizetype i = 0; i < countText.size(); ++i) {
                if (countText[i] == u' ' || countText[i] == u'\r') {
                    countText = countText.first(i);
                    break;
                }
            }
        }
        const bool plain = allDigits(countText);
        const bool negative =
            countText.size() > 1 && countText[0] == u'-' && allDigits(countText.sliced(1));
        if (ok && plain && countValue(countText) == 0) {
            Result r;
            r.outcome = Outcome::Empty;
            finish(r);
            return;
        }
        m_scanLines = 0;
        m_countFromScan = ok && !plain && !negative;
        if (!m_countFromScan) {
            // Without "+OK" this goes on as usual and ends by the reply
            // guard: a refusal must never empty the store.
            emit statusChanged(countText.toString() + QStringLiteral("通のメールがあります"));
            m_count = countValue(countText);
        }
        Pop_State = 4;
        break;
    }
    case 7: // reply to STLS: never on in the clear without it
        if (ok) {
            m_securing = true;
            Winsock1->startTls(m_params.tls);
        } else {
            stlsRefused(QStringLiteral("（") + line.left(200) + QStringLiteral("）"));
        }
        break;
    case 5: // status line of UIDL
        if (ok) {
            Pop_State = 6;
            Uidl_Data.clear();
        } else {
            failure(QStringLiteral("メールチェック失敗"), UidlRefusedLog);
        }
        break;
    default:
        break;
    }
}

void Form1::sendLine(const QByteArray &command) {
    QByteArray line = command;
    line += "\r\n";
    if (sendTap) sendTap(line);
    // Writing to a closed socket only warns: nothing would go out anyway.
    if (Winsock1->isOpen()) Winsock1->write(line);
}

void Form1::listingComplete() {
    std::optional<UidList> uids = UidlDataSplit(Uidl_Data);
    Uidl_Data.clear();
    if (!uids) {
        malformedListing();
        return;
    }
    Result r;
    r.outcome = Outcome::Listed;
    r.count = m_count;
    r.uids = std::move(*uids);
    finish(std::move(r));
}

void Form1::failure(const QString &status, const QString &logMessage) {
    Result r;
    r.outcome = Outcome::Failed;
    r.status = status;
    r.logMessage = logMessage;
    finish(r);
}

void Form1::stlsRefused(const QString &reply) {
    failure(QStringLiteral("STLS拒否"), QStringLiteral("受信サーバ ") + m_params.host +
                                            QStringLiteral(" がSTLSを受け付けません") + reply);
}

void Form1::malformedListing() {
    // The check stops here: the store stays, nothing is notified, and a
    // dial-up link is released.
    failure(QStringLiteral("受信データ異常"), QStringLiteral("受信データ異常"));
}

void Form1::timeout() {
    if (m_finished) return;
    Result r;
    r.outcome = Outcome::TimedOut;
    r.status = QStringLiteral("受信タイムアウト");
    r.logMessage = r.status;
    finish(r);
}

void Form1::Winsock1_Close() {
    // Only the server's close is this event; our own close also signals.
    if (m_ownClose || m_finished) return;
    if (Winsock1->bytesAvailable() > 0) {
        Winsock1_DataArrival();
        if (m_finished) return;
    }
    emit statusChanged(QStringLiteral("切断中"));
    closeSocket();
    emit statusChanged(QStringLiteral("未接続"));
    // The reply guard still runs and ends the check.
}

void Form1::closeSocket() {
    m_ownClose = true;
    Winsock1->abort();
}

void Form1::finish(Result result) {
    // Closed before anyone hears of the outcome: whatever the check does
    // next (a message box, a notice) happens with no session open.
    m_finished = true;
    Pop_State = 0;
    Timer1->stop();
    Timer2->stop();
    closeSocket();
    emit finished(result);
}
