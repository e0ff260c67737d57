// The settings record: the exact bytes written and the reading grammar; and
// the side file for what code page 932 cannot hold.
#include "check/settingsfile.h"
#include "platform/codepage.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestSettingsFile : public QObject {
    Q_OBJECT
  private slots:
    void writesTheRecordLineExactly();
    void roundTripsTextsThatNeedCare();
    void readsTheGrammarLeniently();
    void readsTheGrammarLeniently_data();
    void rejectsUnreadableRecords();
    void rejectsUnreadableRecords_data();
    void keepsFieldsReadBeforeAFailure();
    void entryNamesCodePage932CannotHoldAreKeptBeside();
    void passwordsInTheKeyringLeaveBothFiles();
};

void TestSettingsFile::writesTheRecordLineExactly() {
    SettingsRecord r;
    r.Dup_Mode = 1;
    r.Check_Interval = 2;
    r.Quiet_Flag = 1;
    r.Trf_Flag = 0;
    r.Quiet_Start = QStringLiteral("22:00");
    r.Quiet_End = QStringLiteral("6:00");
    r.Dup_Entry = QStringLiteral("Office");
    QCOMPARE(settingsfile::format(r),
             QByteArray("\"\",\"\",\"\",\"\",\"\",\"\",1,2,1,0,\"22:00\",\"6:00\",\"Office\"\r\n"));
    r.Check_Interval = -7;
    QVERIFY(settingsfile::format(r).contains(",1,-7,1,0,"));
}

void TestSettingsFile::roundTripsTextsThatNeedCare() {
    SettingsRecord r;
    r.POP_Address = QStringLiteral("pop.example.jp");
    r.POP_PassWord = QStringLiteral("pa\"ss,word \"\"");
    r.Smtp_mail_address = QStringLiteral("山田, 太郎 <yamada@example.jp>");
    r.Trf_IPAddress = QStringLiteral("～①髙㈱\\");
    r.Quiet_Start = QStringLiteral("0:00");
    r.Dup_Entry = QStringLiteral("会社の回線");
    const QByteArray bytes = settingsfile::format(r);
    // Code page 932: the wave dash is 0x8160, a doubled quote stands for one.
    QVERIFY(bytes.contains("\x81\x60"));
    QVERIFY(bytes.contains("\"pa\"\"ss,word \"\"\"\"\""));
    SettingsRecord back;
    QVERIFY(settingsfile::parse(bytes, back));
    QCOMPARE(back.POP_PassWord, r.POP_PassWord);
    QCOMPARE(back.Smtp_mail_address, r.Smtp_mail_address);
    QCOMPARE(back.Trf_IPAddress, r.Trf_IPAddress);
    QCOMPARE(back.Dup_Entry, r.Dup_Entry);
    QCOMPARE(settingsfile::format(back), bytes); // saving twice gives the same bytes
}

void TestSettingsFile::readsTheGrammarLeniently_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("interval");
    QTest::addColumn<QString>("entry");
    QTest::newRow("plain")
        << QByteArray("\"a\",\"\",\"\",\"\",\"\",\"\",0,3,0,1,\"1:00\",\"2:00\",\"x\"\r\n") << "a"
        << 3 << "x";
    QTest::newRow("blanks before fields, text after quotes skipped")
        << QByteArray("  \"a\"junk,\"\",\"\",\"\",\"\",\"\", 0,  4 ,0,1,\"1:00\" ,\"2:00\",\"x\"yz")
        << "a" << 4 << "x";
    QTest::newRow("empty integer is 0")
        << QByteArray("\"a\",\"\",\"\",\"\",\"\",\"\",,,0,1,\"1:00\",\"2:00\",\"x\"\r\n") << "a"
        << 0 << "x";
    QTest::newRow("after field 13 ignored")
        << QByteArray(
               "\"a\",\"\",\"\",\"\",\"\",\"\",0,1,0,1,\"1:00\",\"2:00\",\"x\",99,\"more\"\r\n")
        << "a" << 1 << "x";
    QTest::newRow("old file with a bare quote inside")
        << QByteArray("\"a\"b\",\"\",\"\",\"\",\"\",\"\",0,1,0,1,\"1:00\",\"2:00\",\"x\"\r\n")
        << "a" << 1 << "x";
    QTest::newRow("last field empty after a comma")
        << QByteArray("\"a\",\"\",\"\",\"\",\"\",\"\",0,1,0,1,\"1:00\",\"2:00\",") << "a" << 1
        << "";
    QTest::newRow("limits") << QByteArray("\"a\",\"\",\"\",\"\",\"\",\"\",-32768,32767,0,1,,,")
                            << "a" << 32767 << "";
}

void TestSettingsFile::readsTheGrammarLeniently() {
    QFETCH(QByteArray, line);
    SettingsRecord r;
    QVERIFY(settingsfile::parse(line, r));
    QTEST(r.POP_Address, "first");
    QTEST(int(r.Check_Interval), "interval");
    QTEST(r.Dup_Entry, "entry");
}

void TestSettingsFile::rejectsUnreadableRecords_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("12 fields") << QByteArray(
        "\"a\",\"\",\"\",\"\",\"\",\"\",0,1,0,1,\"1:00\",\"2:00\"\r\n");
    QTest::newRow("text in an integer")
        << QByteArray("\"a\",\"\",\"\",\"\",\"\",\"\",0,x,0,1,\"1:00\",\"2:00\",\"x\"\r\n");
    QTest::newRow("number then text")
        << QByteArray("\"a\",\"\",\"\",\"\",\"\",\"\",0,1x,0,1,,,\r\n");
    QTest::newRow("above 32767") << QByteArray("\"a\",\"\",\"\",\"\",\"\",\"\",0,32768,0,1,,,\r\n");
    QTest::newRow("below -32768") << QByteArray(
        "\"a\",\"\",\"\",\"\",\"\",\"\",-32769,0,0,1,,,\r\n");
    QTest::newRow("line break inside quotes")
        << QByteArray("\"a\r\nb\",\"\",\"\",\"\",\"\",\"\",0,1,0,1,\"1:00\",\"2:00\",\"x\"\r\n");
    QTest::newRow("unbalanced quote") << QByteArray("\"a,\"\",\"\",\"\",\"\",\"\",0,1,0,1,,,\"x");
}

void TestSettingsFile::rejectsUnreadableRecords() {
    QFETCH(QByteArray, line);
    SettingsRecord r;
    QVERIFY(!settingsfile::parse(line, r));
}

void TestSettingsFile::keepsFieldsReadBeforeAFailure() {
    SettingsRecord r;
    QVERIFY(!settingsfile::parse("\"pop\",\"pw\",\"smtp\",\"to\",\"user\",\"\",1,oops", r));
    QCOMPARE(r.POP_Address, QStringLiteral("pop"));
    QCOMPARE(r.POP_UserID, QStringLiteral("user"));
    QCOMPARE(int(r.Dup_Mode), 1);
}

namespace {
QByteArray bytesOf(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}
} // namespace

void TestSettingsFile::entryNamesCodePage932CannotHoldAreKeptBeside() {
    QTemporaryDir dir;
    const QString record = settingsfile::recordPath(dir.path());
    const QString side = settingsfile::sidePath(dir.path());
    QCOMPARE(QFileInfo(side).fileName(), QStringLiteral("quil7400.conf"));
    SettingsRecord r;
    r.POP_Address = QStringLiteral("pop");
    r.Dup_Mode = 1;
    r.Dup_Entry = QStringLiteral("Büro");
    QVERIFY(settingsfile::save(dir.path(), r));
    // The record stays the 13 fields in code page 932 the Windows program
    // reads, with the name as that code page renders it.
    const QByteArray asRecorded =
        "\"pop\",\"\",\"\",\"\",\"\",\"\",1,0,0,0,\"\",\"\",\"B\xFC\xFCro\"\r\n";
    QCOMPARE(bytesOf(record), asRecorded);
    const QByteArray beside = bytesOf(side);
    QVERIFY(beside.contains("\ndialup_entry=Büro\n"));
    QCOMPARE(QFile::permissions(side) & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    SettingsRecord back;
    QVERIFY(settingsfile::load(dir.path(), back));
    QCOMPARE(back.Dup_Entry, QStringLiteral("Büro"));
    QVERIFY(settingsfile::save(dir.path(), back)); // saving again changes nothing
    QCOMPARE(bytesOf(record), asRecorded);
    QCOMPARE(bytesOf(side), beside);

    // Another program changed the record's entry: the record wins.
    writeBytes(record, "\"pop\",\"\",\"\",\"\",\"\",\"\",1,0,0,0,\"\",\"\",\"Office\"\r\n");
    QVERIFY(settingsfile::load(dir.path(), back));
    QCOMPARE(back.Dup_Entry, QStringLiteral("Office"));

    // A name the record holds needs nothing beside it: the key goes, and
    // where there was no side file none is made.
    r.Dup_Entry = QStringLiteral("会社");
    QVERIFY(settingsfile::save(dir.path(), r));
    QVERIFY(!bytesOf(side).contains("dialup_entry"));
    QVERIFY(settingsfile::load(dir.path(), back));
    QCOMPARE(back.Dup_Entry, QStringLiteral("会社"));
    QTemporaryDir fresh;
    QVERIFY(settingsfile::save(fresh.path(), r));
    QVERIFY(!QFile::exists(settingsfile::sidePath(fresh.path())));
}

void TestSettingsFile::passwordsInTheKeyringLeaveBothFiles() {
    QTemporaryDir dir;
    SettingsRecord r;
    r.POP_Address = QStringLiteral("pop");
    r.POP_PassWord = QStringLiteral("pw");
    r.connection.smtpAuth = true;
    r.connection.smtpPassword = QStringLiteral("smtp-pw");
    r.connection.keyring = true;
    QVERIFY(settingsfile::save(dir.path(), r));
    // The record keeps its 13 fields, the password's empty.
    QCOMPARE(bytesOf(settingsfile::recordPath(dir.path())),
             "\"pop\",\"\",\"\",\"\",\"\",\"\",0,0,0,0,\"\",\"\",\"\"\r\n");
    const QByteArray side = bytesOf(settingsfile::sidePath(dir.path()));
    QVERIFY(side.contains("\nkeyring=1\n") && side.contains("\nkeyring_smtp=1\n"));
    QVERIFY(!side.contains("pw"));
    SettingsRecord back;
    QVERIFY(settingsfile::load(dir.path(), back));
    QVERIFY(back.connection.keyring && back.connection.keyringSmtp);
    QVERIFY(back.POP_PassWord.isEmpty() && back.connection.smtpPassword.isEmpty());

    // Turned off: both files hold their passwords again.
    r.connection.keyring = false;
    QVERIFY(settingsfile::save(dir.path(), r));
    QVERIFY(bytesOf(settingsfile::recordPath(dir.path())).startsWith("\"pop\",\"pw\","));
    QVERIFY(settingsfile::load(dir.path(), back));
    QVERIFY(!back.connection.keyring && !back.connection.keyringSmtp);
    QCOMPARE(back.connection.smtpPassword, QStringLiteral("smtp-pw"));

    // OAuth: the refresh token is kept like a password, and read back whole.
    const ConnectionSettings plain = r.connection;
    ConnectionSettings &c = r.connection;
    c.signIn = ConnectionSettings::SignIn::OAuth;
    c.oauthProvider = QStringLiteral("microsoft");
    c.oauthClientId = QStringLiteral("id=1");
    c.oauthRefreshToken = QStringLiteral("M.C5_BAY.-Cf*rt=");
    for (bool keyring : {false, true}) {
        c.keyring = keyring;
        QVERIFY(settingsfile::save(dir.path(), r));
        QVERIFY(settingsfile::load(dir.path(), back));
        QVERIFY(back.connection.signIn == c.signIn && back.connection.oauthClientId == "id=1");
        QCOMPARE(back.connection.oauthRefreshToken, keyring ? QString() : c.oauthRefreshToken);
    }
    r.connection = plain;

    // A file of old names no entries: those it uses count as its own; the
    // fingerprints it accepted belong to the servers configured now, and new
    // ones keep the server they were accepted for.
    const QString hex = QStringLiteral("AB").repeated(32);
    r.Smtp_Address = QStringLiteral("smtp");
    QVERIFY(settingsfile::save(dir.path(), r));
    QFile old(settingsfile::sidePath(dir.path()));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("keyring=1\nkeyring_smtp=1\npop_security=tls\nsmtp_fingerprint=" + hex.toUtf8() +
              "\npop_fingerprint=" + hex.toUtf8() + "\npop_fingerprint_server=::1:995\n");
    old.close();
    QVERIFY(settingsfile::load(dir.path(), back));
    settingsfile::bindAcceptances(back, 110, 25);
    QCOMPARE(back.connection.keyringEntries, (QStringList{"pop3:@pop", "smtp:@smtp"}));
    QVERIFY((back.connection.popAccepted == AcceptedCertificate{"::1", 995, hex}));
    QVERIFY((back.connection.smtpAccepted == AcceptedCertificate{"smtp", 25, hex}));
}

QTEST_APPLESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
