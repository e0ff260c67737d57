#include "pop3/uidstore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestUidStore : public QObject {
    Q_OBJECT
  private slots:
    void split_data();
    void split();
    void bounds();
    void count();
    void storeFormat();
    void storeReading_data();
    void storeReading();
    void storeFiles();
};

using OptUids = std::optional<UidList>;

void TestUidStore::split_data() {
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<OptUids>("expected");
    QTest::newRow("two") << QByteArray("1 abc\r\n2 xyz\r\n.\r\n") << OptUids(UidList{"abc", "xyz"});
    QTest::newRow("empty") << QByteArray(".\r\n") << OptUids(UidList{});
    // Numbers are read, not assumed: gaps and four-digit numbers split alike.
    QTest::newRow("numbers") << QByteArray("7 a\r\n1000 b\r\n12345 c\r\n.\r\n")
                             << OptUids(UidList{"a", "b", "c"});
    QTest::newRow("lone CR dropped") << QByteArray("1 a\rb\r\n.\r\n") << OptUids(UidList{"ab"});
    QTest::newRow("bytes kept") << QByteArray("1 \x82\xa0\xff\"q\r\n.\r\n")
                                << OptUids(UidList{"\x82\xa0\xff\"q"});
    QTest::newRow("after dot ignored")
        << QByteArray("1 a\r\n.\r\n2 b\r\n") << OptUids(UidList{"a"});
    QTest::newRow("no blank") << QByteArray("1abc\r\n.\r\n") << OptUids();
    QTest::newRow("no number") << QByteArray(" abc\r\n.\r\n") << OptUids();
    QTest::newRow("no dot line") << QByteArray("1 a\r\n") << OptUids();
    QTest::newRow("cut") << QByteArray("1 a\r\n.\r") << OptUids();
    QTest::newRow("bare LF") << QByteArray("1 a\n.\n") << OptUids();
    QTest::newRow("duplicates kept once") << QByteArray("1 a\r\n2 b\r\n3 a\r\n4 b\r\n5 c\r\n.\r\n")
                                          << OptUids(UidList{"a", "b", "c"});
    const QByteArray uid70(70, 'u');
    QTest::newRow("UID of 70 bytes") << "1 " + uid70 + "\r\n.\r\n" << OptUids(UidList{uid70});
    QTest::newRow("UID of 71 bytes") << "1 " + uid70 + "v\r\n.\r\n" << OptUids();
    // Ids are slices of one buffer: one that begins another, or is empty,
    // must keep its own length.
    QTest::newRow("shared prefixes")
        << QByteArray("1 abc\r\n2 ab\r\n3 \r\n4 abc\r\n5 abcd\r\n6 \r\n7 a\r\n.\r\n")
        << OptUids(UidList{"abc", "ab", "", "abcd", "a"});
    // Repeats past the first batches of the index move every later id down.
    QByteArray listing;
    QList<QByteArray> once;
    for (int i = 0; i < 50; ++i) {
        once << "m" + QByteArray::number(i) + (i % 7 == 0 ? uid70.left(60) : QByteArray());
        listing += "1 " + once.last() + "\r\n";
        if (i % 3 == 0) listing += "2 " + once.at(i / 2) + "\r\n";
    }
    QTest::newRow("repeats across batches") << listing + ".\r\n" << OptUids(UidList(once));
}

void TestUidStore::split() {
    QFETCH(QByteArray, listing);
    QFETCH(OptUids, expected);
    QCOMPARE(UidlDataSplit(listing), expected);
}

void TestUidStore::bounds() {
    // Lines are counted as they come, before duplicates go.
    const QByteArray lines = QByteArray("1 x\r\n").repeated(MaxUids);
    QCOMPARE(UidlDataSplit(lines + ".\r\n"), OptUids(UidList{"x"}));
    QCOMPARE(UidlDataSplit(lines + "2 y\r\n.\r\n"), OptUids());
}

void TestUidStore::count() {
    const UidList old{"a", "B", "c"};
    QCOMPARE(NewMailCount({"c", "a", "B"}, old), 0);      // order does not matter
    QCOMPARE(NewMailCount({"A", "b", "c"}, old), 2);      // case does
    QCOMPARE(NewMailCount({"d", "d", "a", "d"}, old), 1); // duplicates count once
    QCOMPARE(NewMailCount({"a", "e"}, {"a", "a", "a"}), 1);
    QCOMPARE(NewMailCount({"", "x"}, UidList{}), 2);
    QCOMPARE(NewMailCount({"ab", "abcd", "a"}, {"abc", "a", ""}), 2); // prefixes are not equal
    const QByteArray uid70(70, 'u');
    QCOMPARE(NewMailCount({uid70, uid70.left(69) + 'v'}, {uid70}), 1);
    // A listing's index goes after the split and comes back when asked.
    const OptUids listed = UidlDataSplit("1 ab\r\n2 a\r\n.\r\n");
    QVERIFY(listed->contains("ab") && listed->contains("a") && !listed->contains("abc"));
    UidList grown = *listed;
    for (int i = 0; i < 100; ++i)
        QVERIFY(grown.append(QByteArray::number(i)) && !grown.append("a"));
    QCOMPARE(grown.size(), 102);
    QCOMPARE(grown.mid(1, 2), UidList({"a", "0"}));
}

void TestUidStore::storeFormat() {
    QCOMPARE(FormatUidStore({"abc", "xyz"}), QByteArray("3\r\n\"\"\r\n\"abc\"\r\n\"xyz\"\r\n"));
    QCOMPARE(FormatUidStore({}), QByteArray("1\r\n\"\"\r\n"));
    const UidList odd{"a\"b", "\"", "", "x,y", "\x82\xa0", "l\nf"};
    QCOMPARE(FormatUidStore(odd).mid(7, 8), QByteArray("\"a\"\"b\"\r\n"));
    QCOMPARE(ParseUidStore(FormatUidStore(odd)), OptUids(odd));
}

void TestUidStore::storeReading_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<OptUids>("expected");
    QTest::newRow("plain") << QByteArray("3\r\n\"\"\r\n\"abc\"\r\n\"xyz\"\r\n")
                           << OptUids(UidList{"abc", "xyz"});
    QTest::newRow("count 0") << QByteArray("0\r\n") << OptUids(UidList{});
    QTest::newRow("empty store") << QByteArray("1\r\n\"\"\r\n") << OptUids(UidList{});
    const QByteArray uid70(70, 'u');
    QTest::newRow("prefixes, 70 bytes, repeats")
        << "6\r\n\"\"\r\n\"ab\"\r\n\"abc\"\r\n\"" + uid70 + "\"\r\n\"ab\"\r\n\"a\"\"b\"\r\n"
        << OptUids(UidList{"ab", "abc", uid70, "a\"b"});
    QTest::newRow("entry 1 never compared")
        << QByteArray("2\r\n\"q\"\r\n\"r\"\r\n") << OptUids(UidList{"r"});
    QTest::newRow("extra ignored")
        << QByteArray("2\r\n\"\"\r\n\"a\"\r\n\"b\"\r\n") << OptUids(UidList{"a"});
    // What the old format wrote for a UID holding a quote still reads.
    QTest::newRow("old quote") << QByteArray("2\r\n\"\"\r\n\"a\"b\"\r\n") << OptUids(UidList{"a"});
    QTest::newRow("commas, blanks")
        << QByteArray(" 3 ,\"\", \"a\",\r\n\"b\"") << OptUids(UidList{"a", "b"});
    // Written before ids were kept once.
    QTest::newRow("duplicates read once")
        << QByteArray("5\r\n\"\"\r\n\"a\"\r\n\"b\"\r\n\"a\"\r\n\"a\"\r\n")
        << OptUids(UidList{"a", "b"});
    QTest::newRow("empty file") << QByteArray() << OptUids();
    QTest::newRow("fewer strings") << QByteArray("4\r\n\"\"\r\n\"a\"\r\n") << OptUids();
    QTest::newRow("negative") << QByteArray("-1\r\n") << OptUids();
    QTest::newRow("not a number") << QByteArray("x\r\n\"\"\r\n") << OptUids();
    QTest::newRow("huge count") << QByteArray("99999999999999\r\n\"\"\r\n") << OptUids();
    QTest::newRow("cut in a field") << QByteArray("2\r\n\"\"\r\n\"ab") << OptUids();
}

void TestUidStore::storeReading() {
    QFETCH(QByteArray, bytes);
    QFETCH(OptUids, expected);
    QCOMPARE(ParseUidStore(bytes), expected);
}

void TestUidStore::storeFiles() {
    QTemporaryDir dir;
    const QString path = UidStorePath(dir.path());
    QCOMPARE(path, dir.path() + "/quilmon.dat");
    QCOMPARE(ReadUidStore(path), OptUids()); // missing
    UidList many;
    for (int i = 0; i < 100000; ++i)
        many.append("uid" + QByteArray::number(i));
    QVERIFY(WriteUidStore(path, many));
    QCOMPARE(ReadUidStore(path), OptUids(many)); // past 16 bits, read back at its true size
    QVERIFY(EmptyUidStore(path));
    QCOMPARE(QFile(path).size(), 0);
    QCOMPARE(ReadUidStore(path), OptUids());
    QVERIFY(QDir(dir.path()).mkdir("quilmon.dat2"));
    QVERIFY(!WriteUidStore(path + "2", many)); // not writable: reported, not hidden
}

QTEST_GUILESS_MAIN(TestUidStore)
#include "tst_uidstore.moc"
