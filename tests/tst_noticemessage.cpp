// The notice mail's exact bytes, and that its fixed Japanese parts decode to
// the texts the user is meant to read.
#include "smtp/noticemessage.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QTest>
#include <QTimeZone>

namespace {
const QByteArray kSubject =
    "Subject: =?iso-2022-jp?B?GyRCJWEhPCVrQ2U/LiQsJCIkaiReJDckPxsoQg==?=\r\n";
const QByteArray kContentType = "Content-Type: text/plain;charset=iso-2022-jp\r\n";
const QByteArray kProductFrom = "From:=?iso-2022-jp?B?GyRCJS8lJCVrJWIlcyM3IzQjMCMwGyhC?=\r\n";
const QByteArray kNotice = QByteArray::fromHex("1b2442"
                                               "444c244e2561213c256b43653f2e2422246a2123"
                                               "1b2842");

QString decodeJis(const QByteArray &bytes) {
    QStringDecoder dec("ISO-2022-JP");
    const QString text = dec.decode(bytes);
    return dec.hasError() ? QStringLiteral("<error>") : text;
}

// The text of an RFC 2047 encoded word of the form =?iso-2022-jp?B?...?=.
QString decodeWord(QByteArray word) {
    const QByteArray prefix = "=?iso-2022-jp?B?";
    if (!word.startsWith(prefix) || !word.endsWith("?=")) return QStringLiteral("<malformed>");
    word = word.mid(prefix.size(), word.size() - prefix.size() - 2);
    return decodeJis(QByteArray::fromBase64(word));
}
} // namespace

class TestNoticeMessage : public QObject {
    Q_OBJECT
  private slots:
    void secureHeaders();
    void sends_data();
    void sends();
    void fixedTextsReadRight();
};

void TestNoticeMessage::sends_data() {
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("settingsTest");
    QTest::addColumn<qint16>("count");
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("last");

    QTest::newRow("count 1") << QString() << false << qint16(1) << kProductFrom
                             << QByteArray("\r\n1" + kNotice + "\r\n.\r\n");
    QTest::newRow("count 3") << QString() << false << qint16(3) << kProductFrom
                             << QByteArray::fromHex("0d0a33" + kNotice.toHex() + "0d0a2e0d0a");
    QTest::newRow("count 12") << QString() << false << qint16(12) << kProductFrom
                              << QByteArray("\r\n12" + kNotice + "\r\n.\r\n");
    QTest::newRow("count 32767") << QString() << false << qint16(32767) << kProductFrom
                                 << QByteArray("\r\n32767" + kNotice + "\r\n.\r\n");
    QTest::newRow("test mail ignores the count")
        << QString() << true << qint16(5) << kProductFrom << QByteArray("\r\nTEST MAIL\r\n.\r\n");
    QTest::newRow("sender set") << QStringLiteral("taro@example.jp") << false << qint16(2)
                                << QByteArray("From:taro@example.jp\r\n")
                                << QByteArray("\r\n2" + kNotice + "\r\n.\r\n");
    // 山田～ in code page 932: 8E52 9363 8160 (the Windows table's wave dash).
    QTest::newRow("non-ASCII sender in code page 932")
        << QStringLiteral("山田～@example.jp") << true << qint16(0)
        << QByteArray("From:" + QByteArray::fromHex("8e5293638160") + "@example.jp\r\n")
        << QByteArray("\r\nTEST MAIL\r\n.\r\n");
}

void TestNoticeMessage::sends() {
    QFETCH(QString, sender);
    QFETCH(bool, settingsTest);
    QFETCH(qint16, count);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, last);

    const QList<QByteArray> expected = {from, kSubject, kContentType, last};
    QCOMPARE(noticeMessageSends(sender, settingsTest, count), expected);
}

void TestNoticeMessage::fixedTextsReadRight() {
    // Checked through an independent decoder, so a slip in a constant shows.
    QCOMPARE(decodeJis(kNotice), QStringLiteral("通のメール着信あり。"));
    const QList<QByteArray> sends = noticeMessageSends(QString(), false, 3);
    QCOMPARE(decodeWord(sends[0].mid(5).chopped(2)), QStringLiteral("クイルモン７４００"));
    QCOMPARE(decodeWord(sends[1].mid(9).chopped(2)), QStringLiteral("メール着信がありました"));
    // Every line ends back in ASCII, so the "." line is read as the end.
    QVERIFY(sends[3].contains(QByteArray("\x1b(B\r\n.\r\n")));
    QCOMPARE(decodeJis(sends[3].mid(2).chopped(5)), QStringLiteral("3通のメール着信あり。"));
}

void TestNoticeMessage::secureHeaders() {
    // English names, two-digit day, the zone's offset with its sign; the
    // message itself as in the plain mode; ids never repeat.
    const QDateTime west(QDate(2025, 3, 2), QTime(7, 5, 9), QTimeZone(-(3 * 3600 + 30 * 60)));
    const QList<QByteArray> a = secureNoticeMessageSends({}, true, 0, west, "example.jp");
    const QList<QByteArray> b = secureNoticeMessageSends({}, true, 0, west, "bad>domain");
    QCOMPARE(a.first(), "Date: Sun, 02 Mar 2025 07:05:09 -0330\r\n");
    QCOMPARE(a.mid(2), noticeMessageSends({}, true, 0));
    QVERIFY(QRegularExpression("^Message-ID: <[0-9a-f.]+@example\\.jp>\r\n$")
                .match(QString::fromLatin1(a[1]))
                .hasMatch());
    QVERIFY(b[1].endsWith("@quilmon.invalid>\r\n"));
    QVERIFY(secureNoticeMessageSends({}, true, 0, west, "example.jp")[1] != a[1]);
    QCOMPARE(secureNoticeMessageSends({}, false, 1, west.toOffsetFromUtc(9 * 3600), "x").first(),
             "Date: Sun, 02 Mar 2025 19:35:09 +0900\r\n");
}

QTEST_GUILESS_MAIN(TestNoticeMessage)
#include "tst_noticemessage.moc"
