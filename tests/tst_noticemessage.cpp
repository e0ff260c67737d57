// The notice mail's exact bytes, and that its fixed Japanese parts decode to
// the texts the user is meant to read.
#include "pop3/mailheaders.h"
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
    void headerLines();
    void decoding_data();
    void decoding();
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
    const QString To = QStringLiteral("keitai@example.ne.jp");
    const QDateTime west(QDate(2025, 3, 2), QTime(7, 5, 9), QTimeZone(-(3 * 3600 + 30 * 60)));
    const QList<QByteArray> a = secureNoticeMessageSends({}, true, 0, west, "example.jp", To);
    const QList<QByteArray> b = secureNoticeMessageSends({}, true, 0, west, "bad>domain", To);
    QCOMPARE(a.first(), "Date: Sun, 02 Mar 2025 07:05:09 -0330\r\n");
    // The plain message with a blank after From, To and MIME-Version.
    QList<QByteArray> plain = noticeMessageSends({}, true, 0);
    plain[0].insert(5, ' ');
    plain.insert(1, "To: keitai@example.ne.jp\r\n");
    plain.insert(3, "MIME-Version: 1.0\r\n");
    QCOMPARE(a.mid(2), plain);
    QVERIFY(QRegularExpression("^Message-ID: <[0-9a-f.]+@example\\.jp>\r\n$")
                .match(QString::fromLatin1(a[1]))
                .hasMatch());
    QVERIFY(b[1].endsWith("@quilmon.invalid>\r\n"));
    QVERIFY(secureNoticeMessageSends({}, true, 0, west, "example.jp", To)[1] != a[1]);
    QCOMPARE(
        secureNoticeMessageSends({}, false, 1, west.toOffsetFromUtc(9 * 3600), "x", To).first(),
        "Date: Sun, 02 Mar 2025 19:35:09 +0900\r\n");
}

void TestNoticeMessage::headerLines() {
    // After the count line, in ISO-2022-JP, each at most 76 bytes as encoded
    // and cut on a character; a leading "." is doubled. Without lines the
    // message is the plain one.
    const QString longSubject = QStringLiteral("山田 ― ") + QString(60, QChar(u'件'));
    const QList<QByteArray> sends = noticeMessageSends(
        {}, false, 7, {QStringLiteral(".a@x — <b>&"), longSubject, QStringLiteral("ほか5通")});
    QCOMPARE(sends.mid(0, 3), noticeMessageSends({}, false, 7).mid(0, 3));
    const QList<QByteArray> lines = sends[3].chopped(5).mid(2).split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], "7" + kNotice + "\r");
    QCOMPARE(lines[1], "..a@x \x1b$B!=\x1b(B <b>&\r"); // the JIS dash
    QVERIFY(lines[2].size() - 1 <= 76 && lines[2].endsWith("\x1b(B\r"));
    const QString cut = decodeJis(lines[2].chopped(1));
    QVERIFY(cut.size() > 20 && longSubject.startsWith(cut));
    QCOMPARE(decodeJis(lines[3].chopped(1)), QStringLiteral("ほか5通"));
    // A settings test sends its TEST MAIL alone.
    QCOMPARE(noticeMessageSends({}, true, 0, {QStringLiteral("x")}),
             noticeMessageSends({}, true, 0));
}

void TestNoticeMessage::decoding_data() {
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("subject");
    QTest::newRow("ISO-2022-JP B, name and address")
        << QByteArray("From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>\r\n"
                      "Subject: =?ISO-2022-JP?B?GyRCMnE1RCRON28bKEI=?=\r\n\r\n")
        << "山田太郎"
        << "会議の件";
    QTest::newRow("Shift_JIS B, address only")
        << QByteArray("From: hanako@example.jp\r\nSubject: =?Shift_JIS?B?k/qWe4zqg2WDWINn?=\r\n")
        << "hanako@example.jp"
        << "日本語テスト";
    QTest::newRow("CP932 Q, NEC and half-width kana")
        << QByteArray("Subject: =?CP932?Q?=87=40=81=60=C3=BD=C4?=\r\n") << ""
        << "①～ﾃｽﾄ";
    QTest::newRow("EUC-JP Q") << QByteArray("Subject: =?EUC-JP?Q?=A4=AA=C3=CE=A4=E9=A4=BB?=\r\n")
                              << ""
                              << "お知らせ";
    QTest::newRow("UTF-8, lower case, folded")
        << QByteArray("subject: =?utf-8?b?5paw552A44Oh44O844Or?=\r\n\tof today\r\n") << ""
        << "新着メール of today";
    QTest::newRow("adjacent words joined across a fold")
        << QByteArray("Subject: =?UTF-8?B?44GT?=\r\n =?UTF-8?B?44KT?= =?ISO-2022-JP?B?"
                      "GyRCOzNFREJATzobKEI=?=\r\n")
        << ""
        << "こん山田太郎";
    QTest::newRow("ISO-8859-1 Q") << QByteArray("Subject: =?ISO-8859-1?Q?Caf=E9_cr=E8me?=\r\n")
                                  << ""
                                  << "Café crème";
    QTest::newRow("ISO-8859-15 euro") << QByteArray("Subject: =?ISO-8859-15?Q?=A4_10?=\r\n") << ""
                                      << "€ 10";
    QTest::newRow("Windows-1252 quotes")
        << QByteArray("Subject: =?windows-1252?Q?=93hi=94?=\r\n") << ""
        << "“hi”";
    QTest::newRow("malformed word left as it stands")
        << QByteArray("Subject: =?UTF-8?X?abc?= =?UTF-8?B?5pa\r\n") << ""
        << "=?UTF-8?X?abc?= =?UTF-8?B?5pa";
    QTest::newRow("raw UTF-8, raw CP932")
        << QByteArray("From: \xe6\x97\xa5\xe6\x9c\xac <a@x>\r\nSubject: \x83\x5c\x95\x5c\r\n")
        << "日本"
        << "ソ表";
    QTest::newRow("raw ISO-2022-JP")
        << QByteArray("Subject: \x1b\x24\x42\x24\x2a\x43\x4e\x24\x69\x24\x3b\x1b\x28\x42\r\n") << ""
        << "お知らせ";
    QTest::newRow("quoted name holding an encoded word")
        << QByteArray("From: \"=?ISO-2022-JP?B?GyRCTmtMWhsoQg==?=\" <s@x>\r\n") << "鈴木"
        << "";
    QTest::newRow("controls and direction overrides removed")
        << QByteArray("From: \"a\x07"
                      "b\" <c@x>\r\nSubject: x\x1b[2J\x7fy =?UTF-8?Q?=E2=80=AEz=0D=0A?=\r\n")
        << "ab"
        << "x[2Jy z";
    QTest::newRow("cut at the display length")
        << QByteArray("Subject: " + QByteArray(200, 'w') + "\r\n") << ""
        << QString(79, u'w') + u'…';
    QTest::newRow("only the header counts")
        << QByteArray("X: y\r\n\r\nFrom: body@x\r\nSubject: body\r\n") << ""
        << "";
}

void TestNoticeMessage::decoding() {
    QFETCH(QByteArray, header);
    QFETCH(QString, from);
    QFETCH(QString, subject);
    const MailHeaders h = DecodeMailHeaders(header);
    QCOMPARE(h.from, from);
    QCOMPARE(h.subject, subject);
}

QTEST_GUILESS_MAIN(TestNoticeMessage)
#include "tst_noticemessage.moc"
