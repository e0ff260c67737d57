#include "pop3/form1.h"

#include "app/sharedstate.h"
#include "platform/codepage.h"
#include "platform/seams.h"

#include "platform/tcplink.h"
#include <QCoreApplication>
#include <QTimer>
#include <cstring>

namespace {

const QString TestDoneStatus = QStringLiteral("テスト終了､エラーなし");
const QString TestDoneLog = QStringLiteral("テスト終了、エラーなし");
const QString TestDoneLabel = QStringLiteral("テストが終了しました");
const QString NewMailSuffix = QStringLiteral("通の新着メールがあります");

// A command argument that would end the line early or smuggle in a second
// command is never sent.
bool unsafeArgument(const QString &text) {
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0));
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

Form1::Form1(CheckHost &host, QObject *parent)
    : QObject(parent), Winsock1(new TcpLink(this)), Timer1(new QTimer(this)),
      Timer2(new QTimer(this)), m_host(host) {
    setObjectName(QStringLiteral("Form1"));
    Winsock1->setObjectName(QStringLiteral("Winsock1"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer1->setSingleShot(true);
    Timer2->setSingleShot(true);
    connect(Winsock1, &TcpLink::connected, this, &Form1::Winsock1_Connect);
    connect(Winsock1, &TcpLink::readyRead, this, &Form1::Winsock1_DataArrival);
    connect(Winsock1, &TcpLink::disconnected, this, &Form1::Winsock1_Close);
    // The Error event does nothing: a failed connection ends by its guard.
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);
}

void Form1::Form_Load() {
    SharedState &st = m_host.state();
    // A settings test sets Flag only after this load returns.
    const bool settingsTest = st.Flag == 1 || m_host.settingsTestStarting();
    if (m_host.forwardingSelected() && st.TX_flg != 0 && !settingsTest) {
        // The last notice never went out: send it again and leave the
        // mailbox for the next check. Cleared first, so a new failure of
        // that attempt is not wiped out.
        st.TX_flg = 0;
        QPointer<Form1> self(this);
        m_host.loadForm3();
        if (!self || m_unloaded) return;
        m_finished = true;
        finish();
        return;
    }
    st.TX_flg = 0;
    closeSocket();

    QPointer<Form1> self(this);
    QCoreApplication::processEvents();
    if (!self || m_unloaded) return;

    // No events may run from here to the guard's start: the connected event
    // must find the state set.
    m_ownClose = false;
    Winsock1->connectToHost(st.POP_Address, m_host.seams().popPort);
    m_host.setStatus(QStringLiteral("接続中"));
    Pop_State = 0;
    Timer1->start(m_host.seams().guardMs);
}

void Form1::Form_Unload() {
    m_unloaded = true;
    m_finished = true;
    Timer1->stop();
    Timer2->stop();
    disconnect(Winsock1, nullptr, this, nullptr);
    disconnect(Timer1, nullptr, this, nullptr);
    disconnect(Timer2, nullptr, this, nullptr);
    Winsock1->abort();
}

bool Form1::gone() const {
    return m_finished || m_unloaded;
}

void Form1::Winsock1_Connect() {
    if (gone()) return;
    m_host.setStatus(QStringLiteral("接続しました"));
    Timer1->stop();
    Timer2->start(m_host.seams().guardMs);
    const QString user = m_host.state().POP_UserID;
    if (unsafeArgument(user)) {
        failure(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
        return;
    }
    // Sent at once: the greeting is judged when it comes.
    sendLine(cp932::encode(QString(QStringLiteral("USER ") + user)));
}

void Form1::Winsock1_DataArrival() {
    if (gone()) return;
    takeBytes(Winsock1->readAll());
}

void Form1::takeBytes(QByteArrayView bytes) {
    if (gone()) return;
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
            Timer2->start(m_host.seams().guardMs);
            restarted = true;
        }
        const qsizetype length = nl - 1 - pos;
        if (length > MaxLineBytes) {
            tooLong();
            return;
        }
        if (!handleLine(QByteArrayView(data + pos, length))) return;
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
        failure(QStringLiteral("メールチェック失敗"), QString());
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
            SharedState &st = m_host.state();
            if (m_countFromScan) {
                st.New_mail_number = qint16(qMin<qint64>(m_scanLines, 32767));
                m_host.setStatus(QString::number(m_scanLines) +
                                 QStringLiteral("通のメールがあります"));
            }
            Pop_State = 5;
            sendLine(QByteArrayLiteral("UIDL"));
            m_host.setStatus(QStringLiteral("メールチェック中"));
        } else {
            ++m_scanLines;
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
    return !gone();
}

void Form1::handleStatusLine(const QString &line) {
    SharedState &st = m_host.state();
    const bool ok = line.startsWith(u"+OK");
    switch (Pop_State) {
    case 0: // the greeting; USER is already on its way
        if (ok)
            Pop_State = 1;
        else
            failure(QStringLiteral("ユーザＩＤが違います"),
                    QStringLiteral("受信サーバのユーザＩＤが違います"));
        break;
    case 1: // reply to USER
        if (!ok) {
            failure(QStringLiteral("受信サーバエラー"), QStringLiteral("POP3サーバエラー"));
        } else if (unsafeArgument(st.POP_PassWord)) {
            failure(QStringLiteral("パスワードが違います"),
                    QStringLiteral("受信サーバのパスワードが違います"));
        } else {
            sendLine(cp932::encode(QString(QStringLiteral("PASS ") + st.POP_PassWord)));
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
            emptyMailbox();
            return;
        }
        m_scanLines = 0;
        m_countFromScan = ok && !plain && !negative;
        if (!m_countFromScan) {
            // Without "+OK" this goes on as usual and ends by the reply
            // guard: a refusal must never empty the store.
            m_host.setStatus(countText.toString() + QStringLiteral("通のメールがあります"));
            st.New_mail_number = countValue(countText);
        }
        Pop_State = 4;
        break;
    }
    case 5: // status line of UIDL
        if (ok) {
            Pop_State = 6;
            Uidl_Data.clear();
        } else {
            failure(QStringLiteral("メールチェック失敗"), QString());
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
    SharedState &st = m_host.state();
    const std::optional<UidList> uids = UidlDataSplit(Uidl_Data);
    Uidl_Data.clear();
    if (!uids) {
        malformedListing();
        return;
    }
    const QString path = UidStorePath(m_host.programDir());
    qint16 count = st.New_mail_number; // an unreadable store: all are new
    if (const std::optional<UidList> old = ReadUidStore(path))
        count = qint16(qMin<qint64>(NewMailCount(*uids, *old), 32767));
    if (!WriteUidStore(path, *uids)) {
        // Counting against a store that stays stale would tell the same
        // mail again next time: the check fails instead.
        failure(QStringLiteral("メールチェック失敗"), QString());
        return;
    }
    st.New_mail_number = count;
    notify();
}

void Form1::notify() {
    m_finished = true;
    SharedState &st = m_host.state();
    QPointer<Form1> self(this);
    auto alive = [&] { return self && !m_unloaded; };

    const qint16 n = st.New_mail_number;
    const QString text = QString::number(n) + NewMailSuffix;
    m_host.setStatus(text);
    st.New_mail_number2 = saturatingAdd(st.New_mail_number2, n);
    m_host.setPopupLabel(QString::number(st.New_mail_number2) + NewMailSuffix);
    m_host.log(text);

    if (n >= 1) {
        if (m_host.forwardingSelected()) {
            m_host.loadForm3();
            if (!alive()) return;
        } else {
            m_host.setStatus(TestDoneStatus);
            m_host.showPopup();
            if (!alive()) return;
            if (st.Flag == 1) {
                m_host.setPopupLabel(TestDoneLabel);
                m_host.log(TestDoneLog);
                const bool saved = m_host.saveTestedSettings();
                if (!alive()) return;
                if (saved) m_host.setRunEnabled(true);
                st.Dup_End_Flag = 1;
                if (saved) m_host.setTestEnabled(false);
                m_host.showPopup();
                if (!alive()) return;
            }
            if (m_host.popupSelected()) {
                st.Retry_Flag = 0;
                st.Dup_End_Flag = 1;
                m_host.showPopup();
                if (!alive()) return;
            }
        }
    } else if (st.Flag == 1) {
        if (m_host.forwardingSelected()) {
            m_host.loadForm3();
            if (!alive()) return;
        } else {
            m_host.setStatus(TestDoneStatus);
            m_host.setPopupLabel(TestDoneLabel);
            m_host.log(TestDoneLog);
            const bool saved = m_host.saveTestedSettings();
            if (!alive()) return;
            if (saved) {
                m_host.setTestEnabled(false);
                m_host.setRunEnabled(true);
            }
            st.Retry_Flag = 0;
            st.Dup_End_Flag = 1;
            m_host.showPopup();
            if (!alive()) return;
        }
    } else {
        st.Retry_Flag = 0;
        st.Dup_End_Flag = 1;
    }
    Timer2->stop();
    st.Retry_Flag = 0;
    // Also after showing the popup: it waits on its own, and later checks go on.
    finish();
}

void Form1::emptyMailbox() {
    m_finished = true;
    SharedState &st = m_host.state();
    closeSocket();
    Pop_State = 0;
    m_host.setStatus(QStringLiteral("メールがありません"));
    if (!EmptyUidStore(UidStorePath(m_host.programDir()))) {
        failure(QStringLiteral("メールチェック失敗"), QString());
        return;
    }
    st.New_mail_number = 0;
    Timer1->stop();
    Timer2->stop();

    QPointer<Form1> self(this);
    if (st.Flag != 1) {
        m_host.log(QStringLiteral("０通の新着メールがあります"));
        st.Dup_End_Flag = 1;
    } else if (m_host.forwardingSelected()) {
        m_host.loadForm3();
    } else {
        m_host.setStatus(TestDoneStatus);
        m_host.setPopupLabel(TestDoneLabel);
        m_host.log(TestDoneLog);
        const bool saved = m_host.saveTestedSettings();
        if (!self || m_unloaded) return;
        if (saved) m_host.setRunEnabled(true);
        st.Dup_End_Flag = 1;
        m_host.showPopup();
    }
    if (!self || m_unloaded) return;
    st.Retry_Flag = 0;
    finish();
}

void Form1::failure(const QString &status, const QString &logMessage) {
    m_finished = true;
    SharedState &st = m_host.state();
    closeSocket();
    Pop_State = 0;
    m_host.setStatus(status);
    if (!logMessage.isEmpty()) m_host.log(logMessage);
    st.Retry_Flag = saturatingAdd(st.Retry_Flag, 1);
    st.Dup_End_Flag = 1;
    finish();
}

void Form1::malformedListing() {
    // The check stops here: the store stays, nothing is notified, and a
    // dial-up link is released.
    failure(QStringLiteral("受信データ異常"), QStringLiteral("受信データ異常"));
}

void Form1::Timer1_Timer() {
    timeout();
}

void Form1::Timer2_Timer() {
    timeout();
}

void Form1::timeout() {
    if (gone()) return;
    m_finished = true;
    SharedState &st = m_host.state();
    m_host.setStatus(QStringLiteral("受信タイムアウト"));
    m_host.log(QStringLiteral("受信タイムアウト"));
    st.Dup_End_Flag = 1;
    st.Retry_Flag = saturatingAdd(st.Retry_Flag, 1);
    finish();
}

void Form1::Winsock1_Close() {
    // Only the server's close is this event; our own close also signals.
    if (m_ownClose || gone()) return;
    if (Winsock1->bytesAvailable() > 0) {
        Winsock1_DataArrival();
        if (gone()) return;
    }
    m_host.setStatus(QStringLiteral("切断中"));
    closeSocket();
    m_host.setStatus(QStringLiteral("未接続"));
    // The reply guard still runs and ends the check.
}

void Form1::closeSocket() {
    m_ownClose = true;
    Winsock1->abort();
}

void Form1::finish() {
    Timer1->stop();
    Timer2->stop();
    closeSocket();
    if (!m_unloaded) m_host.unloadForm1();
}
