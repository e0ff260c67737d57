#include "pop3/form1.h"

#include "platform/codepage.h"

namespace {

const QString UidlRefusedLog = QStringLiteral("メールチェック失敗（UIDLが拒否されました）");

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

// Keeps in `newest` the numbers of the `limit` highest-numbered lines of a
// UIDL listing whose ids are not in `seen`, highest first, taking one line.
// Message numbers are the server's order of arrival, so these are the newest
// new ones.
void keepIfNewestNew(QList<qint64> &newest, QByteArrayView line, const std::optional<UidList> &seen,
                     qsizetype limit) {
    const qsizetype blank = line.indexOf(' ');
    if (blank < 0) return;
    bool ok = false;
    const qint64 number = line.first(blank).toLongLong(&ok);
    if (!ok || number < 1 || (seen && seen->contains(line.sliced(blank + 1)))) return;
    if (newest.size() == limit && number <= newest.last()) return;
    qsizetype at = 0;
    while (at < newest.size() && newest[at] > number)
        ++at;
    newest.insert(at, number);
    if (newest.size() > limit) newest.removeLast();
}

} // namespace

Form1::Form1(Link *link, QObject *parent)
    : LineSession(link, Framing{MaxLineBytes, false}, parent) {
    setObjectName(QStringLiteral("Form1"));
    link->setObjectName(QStringLiteral("Winsock1"));
}

void Form1::Form_Load(const Params &params) {
    if (loaded()) return; // one dialogue per session
    m_params = params;
    Pop_State = 0;
    open({params.host, params.port, params.security, params.tls, params.guardMs});
}

void Form1::linkConnected() {
    // Judged at once, as before: a user name that would smuggle in a command
    // ends the check without waiting for the greeting.
    if (smuggles(cp932::encode(m_params.user)))
        fail(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
    // USER waits for the greeting (RFC 1939 4).
}

void Form1::sendUser() {
    Pop_State = 1;
    sendLine("USER " + cp932::encode(m_params.user));
}

void Form1::secured() {
    signIn();
}

void Form1::signIn() {
    if (m_params.accessToken.isEmpty()) {
        sendUser();
        return;
    }
    // A token is as good as a password to whoever reads it.
    if (!link()->isEncrypted()) {
        fail(QStringLiteral("OAuth認証エラー"),
             QStringLiteral("暗号化されていない接続ではOAuthでサインインしません"));
        return;
    }
    // The mechanisms are listed by CAPA (RFC 2449 6.9).
    Pop_State = 10;
    m_mechanisms.clear();
    sendLine(QByteArrayLiteral("CAPA"));
}

bool Form1::bearerLine(QByteArrayView line) {
    const QString server = QStringLiteral("受信サーバ ") + m_params.host;
    if (Pop_State == 11) { // the capabilities, one a line
        if (line != QByteArrayView(".")) {
            if (line.startsWith("SASL ") || line.startsWith("sasl "))
                m_mechanisms = line.sliced(5).toByteArray().toUpper().split(' ');
            return true;
        }
        Pop_State = 12;
        if (!saslBeginBearer(m_mechanisms, m_params.user, m_params.accessToken, 255))
            fail(QStringLiteral("認証方式なし"),
                 server +
                     QStringLiteral(" にはXOAUTH2とOAUTHBEARERのどちらの認証方式もありません"));
        return !ended();
    }
    // AUTH: continuations ("+ "), then +OK or -ERR (RFC 5034 4).
    if (line.startsWith("+OK")) {
        if (!saslComplete()) {
            fail(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
            return false;
        }
        Pop_State = 3;
        Uidl_Data.clear();
        sendLine(QByteArrayLiteral("LIST "));
        return true;
    }
    if (line.startsWith("+") && saslContinue(line.sliced(1).trimmed())) return true;
    SessionResult r;
    r.status = QStringLiteral("OAuth認証エラー");
    const QString detail = saslRefusal();
    r.logMessage = server + QStringLiteral(" がアクセストークンを拒否しました") +
                   (detail.isEmpty() ? QString() : QStringLiteral("（") + detail + u'）') +
                   QStringLiteral("（") +
                   cp932::decode(line.first(qMin<qsizetype>(line.size(), 200))) + u'）';
    r.tokenRefused = true;
    finish(r);
    return false;
}

void Form1::lineTooLong() {
    switch (Pop_State) {
    case 0:
        fail(QStringLiteral("ユーザＩＤが違います"),
             QStringLiteral("受信サーバのユーザＩＤが違います"));
        break;
    case 1:
    case 10:
    case 11:
    case 12:
        fail(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
        break;
    case 2:
        fail(QStringLiteral("パスワードが違います"),
             QStringLiteral("受信サーバのパスワードが違います"));
        break;
    case 5:
        fail(QStringLiteral("メールチェック失敗"), UidlRefusedLog);
        break;
    case 8:
    case 9: // the listing stands; the headers are a bonus
        succeed();
        break;
    case 7:
        stlsRefused(QStringLiteral("（応答行が長すぎます）"));
        break;
    default: // the LIST reply and the UIDL listing
        malformedListing();
        break;
    }
}

bool Form1::lineArrived(QByteArrayView line) {
    switch (Pop_State) {
    case 11:
    case 12:
        return bearerLine(line);
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
            listingComplete();
            return !ended();
        }
        if (Uidl_Data.bytes() + line.size() + 2 > MaxListingBytes) {
            malformedListing();
            return false;
        }
        Uidl_Data.addLine(line);
        if (m_params.headerLimit > 0)
            keepIfNewestNew(m_topQueue, line, m_params.seen, m_params.headerLimit);
        break;
    case 9: // the header block of TOP n 0, dot-stuffed (RFC 1939 3)
        if (line == QByteArrayView(".")) {
            m_listed.headers += DecodeMailHeaders(m_header);
            nextHeader();
            return !ended();
        }
        if (line.startsWith('.')) line = line.sliced(1);
        // Cut at the bound: nothing after it is kept.
        if (m_headerCut || m_header.size() + line.size() + 2 > MaxHeaderBytes) {
            m_headerCut = true;
        } else {
            m_header.append(line.data(), line.size());
            m_header += "\r\n";
        }
        break;
    default:
        // Status lines are decoded whole, so a two-byte character split
        // between arrivals reads right.
        handleStatusLine(cp932::decode(line));
        break;
    }
    return !ended();
}

void Form1::handleStatusLine(const QString &line) {
    const bool ok = line.startsWith(u"+OK");
    switch (Pop_State) {
    case 0: // the greeting
        if (ok && m_params.security == LinkSecurity::StartTls) {
            Pop_State = 7;
            sendLine(QByteArrayLiteral("STLS"));
        } else if (ok) {
            signIn();
        } else
            fail(QStringLiteral("ユーザＩＤが違います"),
                 QStringLiteral("受信サーバのユーザＩＤが違います"));
        break;
    case 1: // reply to USER
        if (!ok) {
            fail(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
        } else if (const QByteArray password = cp932::encode(m_params.password);
                   smuggles(password)) {
            fail(QStringLiteral("パスワードが違います"),
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
            fail(QStringLiteral("パスワードが違います"),
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
            m_listed.empty = true;
            succeed();
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
        if (ok)
            beginTls();
        else
            stlsRefused(QStringLiteral("（") + line.left(200) + QStringLiteral("）"));
        break;
    case 8: // status line of TOP: without it, the count alone
        if (ok) {
            Pop_State = 9;
            m_header.clear();
            m_headerCut = false;
        } else {
            succeed();
        }
        break;
    case 10: // reply to CAPA
        if (ok)
            Pop_State = 11;
        else
            fail(QStringLiteral("認証方式なし"),
                 QStringLiteral("受信サーバ ") + m_params.host +
                     QStringLiteral(" は対応する認証方式を示しません（") + line.left(200) + u'）');
        break;
    case 5: // status line of UIDL
        if (ok) {
            Pop_State = 6;
            Uidl_Data.clear();
            Uidl_Data.reserve(m_scanLines);
            m_topQueue.clear();
        } else {
            fail(QStringLiteral("メールチェック失敗"), UidlRefusedLog);
        }
        break;
    default:
        break;
    }
}

void Form1::sendLine(const QByteArray &command) {
    send(command + "\r\n");
}

void Form1::listingComplete() {
    std::optional<UidList> uids = Uidl_Data.take();
    if (!uids) {
        malformedListing();
        return;
    }
    m_listed.count = m_count;
    m_listed.uids = std::move(*uids);
    m_params.seen.reset();
    nextHeader();
}

void Form1::nextHeader() {
    if (m_topQueue.isEmpty()) {
        succeed();
        return;
    }
    Pop_State = 8;
    sendLine("TOP " + QByteArray::number(m_topQueue.takeFirst()) + " 0");
}

void Form1::stlsRefused(const QString &reply) {
    fail(QStringLiteral("STLS拒否"), QStringLiteral("受信サーバ ") + m_params.host +
                                         QStringLiteral(" がSTLSを受け付けません") + reply);
}

void Form1::malformedListing() {
    // The check stops here: the store stays, nothing is notified, and a
    // dial-up link is released.
    fail(QStringLiteral("受信データ異常"), QStringLiteral("受信データ異常"));
}

SessionResult Form1::timedOut() const {
    SessionResult r;
    if (readingHeaders()) {
        r.outcome = SessionResult::Outcome::Done; // the count stands
        return r;
    }
    r.outcome = SessionResult::Outcome::TimedOut;
    r.status = r.logMessage = QStringLiteral("受信タイムアウト");
    return r;
}

void Form1::serverClosed() {
    if (readingHeaders()) {
        succeed(); // with the headers read so far
        return;
    }
    emit statusChanged(QStringLiteral("切断中"));
    link()->abort();
    emit statusChanged(QStringLiteral("未接続"));
    // The reply guard still runs and ends the check.
}

void Form1::report(const SessionResult &result) {
    Pop_State = 0;
    Result r = std::move(m_listed);
    static_cast<SessionResult &>(r) = result;
    emit finished(r);
}
