#include "smtp/noticemessage.h"

#include "platform/codepage.h"

#include <QRandomGenerator>
#include <glib.h>

namespace {

const char crlf[] = "\r\n";

// クイルモン７４００, ISO-2022-JP, B-encoded.
const char productName[] = "=?iso-2022-jp?B?GyRCJS8lJCVrJWIlcyM3IzQjMCMwGyhC?=";
// メール着信がありました
const char subjectLine[] = "Subject: =?iso-2022-jp?B?GyRCJWEhPCVrQ2U/LiQsJCIkaiReJDckPxsoQg==?=";
const char contentTypeLine[] = "Content-Type: text/plain;charset=iso-2022-jp";

// 通のメール着信あり。 as ISO-2022-JP. Written out as bytes because Qt's
// encoder leaves off the closing ESC ( B, which would leave the line in
// JIS X 0208 for the "." that follows.
const char noticeText[] =
    "\x1b\x24\x42"
    "\x44\x4c\x24\x4e\x25\x61\x21\x3c\x25\x6b\x43\x65\x3f\x2e\x24\x22\x24\x6a\x21\x23"
    "\x1b\x28\x42";

// Longest body line of the notice's header lines, as encoded.
constexpr qsizetype MaxNoticeLineBytes = 76;

QByteArray iso2022jp(const QString &text) {
    const QByteArray utf8 = text.toUtf8();
    gsize written = 0;
    // What the charset cannot hold becomes "?"; the converter ends the line
    // back in ASCII.
    gchar *out = g_convert_with_fallback(utf8.constData(), utf8.size(), "ISO-2022-JP", "UTF-8", "?",
                                         nullptr, &written, nullptr);
    if (!out) return {};
    QByteArray bytes(out, qsizetype(written));
    g_free(out);
    return bytes;
}

// One line of the notice body: cut a character at a time until it fits,
// and dot-stuffed (RFC 5321 4.5.2).
QByteArray noticeLine(const QString &line) {
    QString text = line;
    // The em dash between sender and subject is not in JIS X 0208; its
    // horizontal bar is.
    text.replace(u'\r', u' ').replace(u'\n', u' ').replace(u'\u2014', u'\u2015');
    QByteArray bytes = iso2022jp(text);
    while (bytes.size() > MaxNoticeLineBytes && !text.isEmpty()) {
        text.chop(text.size() > 1 && text.back().isLowSurrogate() ? 2 : 1);
        bytes = iso2022jp(text);
    }
    if (bytes.startsWith('.')) bytes.prepend('.');
    return bytes;
}

} // namespace

QByteArray fixedEnvelopeSender() {
    // A fully qualified domain, so servers that refuse bare names accept the
    // form; ".invalid" is reserved and never names anyone's real mailbox, so
    // a bounce cannot land with a stranger. Servers that look the sender's
    // domain up refuse it, and the user then fills the sender name.
    return QByteArrayLiteral("quilmon7400@quilmon.invalid");
}

QList<QByteArray> noticeMessageSends(const QString &senderText, bool settingsTest, qint16 count,
                                     const QStringList &lines) {
    QByteArray from = QByteArrayLiteral("From:");
    // Sent as typed, in the code page of every other settings text.
    from += senderText.isEmpty() ? QByteArray(productName) : cp932::encode(senderText);
    from += crlf;

    QByteArray body = crlf;
    if (settingsTest) {
        body += "TEST MAIL";
    } else {
        // The body is digits then Japanese: a sign would only be garbage.
        body += QByteArray::number(qMax<int>(count, 0));
        body += QByteArray(noticeText, sizeof noticeText - 1);
        for (const QString &line : lines)
            body += crlf + noticeLine(line);
    }
    body += "\r\n.\r\n";

    return {from, QByteArray(subjectLine) + crlf, QByteArray(contentTypeLine) + crlf, body};
}

QList<QByteArray> secureNoticeMessageSends(const QString &senderText, bool settingsTest,
                                           qint16 count, const QDateTime &date,
                                           const QByteArray &idDomain, const QString &recipient,
                                           const QStringList &lines) {
    // English names whatever the locale (RFC 5322 3.3).
    static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int offset = date.offsetFromUtc() / 60;
    const int absOffset = qAbs(offset);
    const QByteArray dateLine =
        "Date: " + QByteArray(days[date.date().dayOfWeek() - 1]) + ", " +
        QByteArray::number(date.date().day()).rightJustified(2, '0') + ' ' +
        months[date.date().month() - 1] + ' ' + QByteArray::number(date.date().year()) + ' ' +
        date.time().toString(QStringLiteral("HH:mm:ss")).toLatin1() + ' ' +
        (offset < 0 ? '-' : '+') + QByteArray::number(absOffset / 60).rightJustified(2, '0') +
        QByteArray::number(absOffset % 60).rightJustified(2, '0') + crlf;

    // Unique without a counter: the time and 64 random bits.
    bool plainDomain = !idDomain.isEmpty();
    for (char c : idDomain)
        plainDomain = plainDomain && uchar(c) > 0x20 && uchar(c) < 0x7f && c != '>' && c != '<';
    const QByteArray id = QByteArray::number(date.toMSecsSinceEpoch()) + '.' +
                          QByteArray::number(QRandomGenerator::global()->generate64(), 16) + '@' +
                          (plainDomain ? idDomain : QByteArrayLiteral("quilmon.invalid"));
    QList<QByteArray> sends{dateLine, "Message-ID: <" + id + '>' + crlf};
    QList<QByteArray> message = noticeMessageSends(senderText, settingsTest, count, lines);
    // Filters score mail without To as suspicious; the blank after the
    // colon is what every mailer writes.
    message[0].insert(5, ' ');
    message.insert(1, "To: " + cp932::encode(recipient) + crlf);
    message.insert(3, QByteArrayLiteral("MIME-Version: 1.0\r\n"));
    sends += message;
    return sends;
}
