// The desktop's services: the passwords kept in a real gnome-keyring-daemon
// on a private session bus, checked against a real Dovecot; and the start at
// login through the autostart folder.
#include "app/keyringpasswords.h"
#include "platform/autostart.h"
#include "support/keyring_daemon.h"
#include "support/pop3_dovecot.h"
#include "support/programfixture.h"
#include "windows/connection.h"
#include "windows/passwordprompt.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {

const QByteArray kRecord =
    "\"127.0.0.1\",\"secret\",\"\",\"\",\"taro\",\"\",0,4,0,0,\"\",\"\",\"\"\r\n";
const QByteArray kEmptied = QByteArray(kRecord).replace("\"secret\"", "\"\"");
const QString kPopKey = QStringLiteral("pop3:taro@127.0.0.1");
const QString kSmtpKey = QStringLiteral("smtp:taro@"); // no SMTP server: no notice mails

struct Desk : ProgramFixture {
    explicit Desk(const QByteArray &record, bool inKeyring = false) : ProgramFixture(&record) {
        if (!inKeyring) return;
        QFile conf(path(QStringLiteral("quil7400.conf")));
        if (conf.open(QIODevice::WriteOnly)) conf.write("keyring=1\n");
    }
    ~Desk() { program.reset(); }
    // Ticks or clears a box of the connection dialog's デスクトップ frame, then ＯＫ.
    void desktop(const char *box, bool on) {
        QTest::mouseClick(child<QPushButton>(&w(), "Command8"), Qt::LeftButton);
        ConnectionDialog *d = program->connectionDialog();
        QVERIFY(d && d->isVisible());
        QCheckBox *c = child<QCheckBox>(d, box);
        QVERIFY(c && c->parentWidget()->objectName() == u"FrameDesktop");
        c->setChecked(on);
        QTest::mouseClick(child<QPushButton>(d, "Command1"), Qt::LeftButton);
        QTRY_VERIFY(!program->connectionDialog());
    }
    bool test() {
        QTest::mouseClick(ui().Command2, Qt::LeftButton);
        return QTest::qWaitFor([this] { return ui().Command4->isEnabled(); }, 15000);
    }
    // 実行, then the scheduler's tick at an interval minute.
    void runAndTick() {
        QTest::mouseClick(ui().Command4, Qt::LeftButton);
        clock = QDateTime(clock.date(), QTime(12, 0, 1));
        scheduler().Timer1_Timer();
    }
    PasswordPrompt *prompt() const { return program->keyringPasswords()->prompt(); }
};

} // namespace

class TestDesktop : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void withoutTheKeyringNothingChanges();
    void keyringAbsentAsksAndNeverLogsInEmpty();
    void keyringKeepsThePasswordAcrossARestart();
    void lockedKeyringAsks();
    void autostartEntry();
    void autostartFromTheDialog();

  private:
    int logins() const { return m_pop.logText().count(QStringLiteral("Login: user=<taro>")); }
    KeyringDaemon m_keyring;
    Pop3Dovecot m_pop;
};

void TestDesktop::initTestCase() {
    QVERIFY(m_keyring.startBus()); // before anything opens the session bus
    if (!m_pop.skipReason().isEmpty()) QSKIP(qPrintable(m_pop.skipReason()));
    QVERIFY(m_pop.start());
}

void TestDesktop::withoutTheKeyringNothingChanges() {
    Desk f(kRecord);
    QVERIFY(f.start());
    f.desktop("Keyring", false);
    QSignalSpy finished(&f.check(), &MailCheck::finished);
    f.runAndTick();
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY(finished[0][0].toBool());
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), kRecord);
    QVERIFY(!QFile::exists(f.path(QStringLiteral("quil7400.conf"))));
    // No keyring was asked for: the bus never tried to start one.
    QVERIFY(!m_keyring.activationTried());
}

void TestDesktop::keyringAbsentAsksAndNeverLogsInEmpty() {
    Desk f(kEmptied, true);
    QVERIFY(f.start());
    QTRY_VERIFY(f.prompt() && f.prompt()->isVisible());
    QCOMPARE(f.boxes.size(), 1);
    QVERIFY2(f.boxes[0].contains(QStringLiteral("キーリングからパスワードを読めませんでした")) &&
                 f.boxes[0].contains(kPopKey) &&
                 f.boxes[0].contains(QStringLiteral("Secret Service）が見つかりません")),
             qPrintable(f.boxes[0]));
    QVERIFY(f.logMessages().join(u'\n').contains(QStringLiteral("キーリング")));
    // 実行 and テスト are told; no check starts with an empty password.
    const int before = logins();
    f.runAndTick();
    QVERIFY(f.w().isVisible());
    QVERIFY(f.boxes.last().contains(QStringLiteral("パスワードが入力されていません")));
    QVERIFY(!f.check().running());

    // What is typed is checked with, and stored once the keyring is back.
    QVERIFY(m_keyring.start());
    child<QLineEdit>(f.prompt(), "PromptPop")->setText(QStringLiteral("secret"));
    QTest::mouseClick(child<QPushButton>(f.prompt(), "Command1"), Qt::LeftButton);
    QTRY_VERIFY(!f.prompt());
    QCOMPARE(f.ui().Text2->text(), QStringLiteral("secret"));
    QSignalSpy finished(&f.check(), &MailCheck::finished);
    f.runAndTick();
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY(finished[0][0].toBool());
    QCOMPARE(logins(), before + 1);
    QTRY_COMPARE(m_keyring.lookup(kPopKey), QStringLiteral("secret"));
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), kEmptied);
}

void TestDesktop::keyringKeepsThePasswordAcrossARestart() {
    QByteArray dat, conf;
    {
        Desk f(kRecord);
        QVERIFY(f.start());
        // Sending with a password of its own: a second entry.
        QTest::mouseClick(child<QPushButton>(&f.w(), "Command8"), Qt::LeftButton);
        ConnectionDialog *d = f.program->connectionDialog();
        QVERIFY(d);
        child<QRadioButton>(d, "SmtpStartTls")->setChecked(true);
        child<QCheckBox>(d, "SmtpAuth")->setChecked(true);
        child<QLineEdit>(d, "SmtpPassword")->setText(QStringLiteral("smtp-secret"));
        QTest::mouseClick(child<QPushButton>(d, "Command1"), Qt::LeftButton);
        QTRY_VERIFY(!f.program->connectionDialog());
        f.desktop("Keyring", true);
        QVERIFY(f.test());
        dat = f.fileBytes(QStringLiteral("quil7400.dat"));
        conf = f.fileBytes(QStringLiteral("quil7400.conf"));
    }
    // The record keeps its fields, the password empty; no file holds it.
    QCOMPARE(dat, kEmptied);
    QVERIFY(conf.contains("keyring=1\n") && !conf.contains("secret"));
    QTRY_COMPARE(m_keyring.lookup(kPopKey), QStringLiteral("secret"));
    QTRY_COMPARE(m_keyring.lookup(kSmtpKey), QStringLiteral("smtp-secret"));

    Desk g(dat, false);
    {
        QFile side(g.path(QStringLiteral("quil7400.conf")));
        QVERIFY(side.open(QIODevice::WriteOnly));
        side.write(conf);
    }
    QVERIFY(g.start());
    QTRY_COMPARE(g.program->settings().POP_PassWord, QStringLiteral("secret"));
    QCOMPARE(g.ui().Text2->text(), QStringLiteral("secret"));
    QCOMPARE(g.program->settings().connection.smtpPassword, QStringLiteral("smtp-secret"));
    QVERIFY(g.boxes.isEmpty() && !g.prompt());
    const int before = logins();
    QSignalSpy finished(&g.check(), &MailCheck::finished);
    g.runAndTick();
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY(finished[0][0].toBool());
    QCOMPARE(logins(), before + 1);

    // Turned off: the record holds the password again, the keyring nothing.
    g.program->showSettings();
    g.desktop("Keyring", false);
    QVERIFY(g.test());
    QCOMPARE(g.fileBytes(QStringLiteral("quil7400.dat")), kRecord);
    QVERIFY(g.fileBytes(QStringLiteral("quil7400.conf")).contains("\nsmtp_password=smtp-secret\n"));
    bool found = true;
    QTRY_VERIFY((m_keyring.lookup(kPopKey, &found), !found));
    QTRY_VERIFY((m_keyring.lookup(kSmtpKey, &found), !found));

    // Two copies on one account share the entry: the first to turn the
    // keyring off leaves it to the other, whose settings still name it.
    QTemporaryDir shared;
    Desk a(kRecord), b(kRecord);
    for (Desk *d : {&a, &b}) {
        d->seams.keyringCopies = shared.filePath(QStringLiteral("keyring-copies"));
        QVERIFY(d->start());
        d->desktop("Keyring", true);
        QVERIFY(d->test());
    }
    QTRY_COMPARE(m_keyring.lookup(kPopKey), QStringLiteral("secret"));
    for (Desk *d : {&b, &a}) {
        d->program->showSettings();
        d->desktop("Keyring", false);
        QVERIFY(d->test());
        QCOMPARE(d->fileBytes(QStringLiteral("quil7400.dat")), kRecord);
        if (d == &b) {
            QTest::qWait(500); // a removal, had one been asked for, is done by now
            QCOMPARE(m_keyring.lookup(kPopKey), QStringLiteral("secret"));
        }
    }
    QTRY_VERIFY((m_keyring.lookup(kPopKey, &found), !found));
}

void TestDesktop::lockedKeyringAsks() {
    m_keyring.stop();
    QVERIFY(m_keyring.start(false)); // the login keyring from before, locked
    Desk f(kEmptied, true);
    QVERIFY(f.start());
    QTRY_VERIFY(f.prompt() && f.prompt()->isVisible());
    QCOMPARE(f.boxes.size(), 1);
    QVERIFY(f.boxes[0].contains(kPopKey) && f.boxes[0].contains(QStringLiteral("ロック")));
    QVERIFY(f.program->settings().POP_PassWord.isEmpty());
    // Over the settings window, not below it as the transient of a hidden leader.
    QCOMPARE(f.prompt()->parentWidget(), &f.w());
    QCOMPARE(f.prompt()->windowHandle()->transientParent(), f.w().windowHandle());
    QTRY_VERIFY(f.prompt()->isActiveWindow());
}

void TestDesktop::autostartEntry() {
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("cfg"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    const QString entry = config + QStringLiteral("/autostart/quilmon7400.desktop");
    QCOMPARE(autostart::entryPath(), entry);
    // Exec as the Desktop Entry rules quote it, the value escaped once more.
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("/opt/quil/quilmon7400"), QStringLiteral("/opt/quil/quilmon7400")},
        {QStringLiteral("/home/太郎/My Apps/quilmon7400"),
         QStringLiteral("\"/home/太郎/My Apps/quilmon7400\"")},
        {QStringLiteral("/a b/$x`y\"z\\w/100%/q"),
         QStringLiteral("\"/a b/\\\\$x\\\\`y\\\\\"z\\\\\\\\w/100%%/q\"")},
    };
    for (const auto &[program, exec] : cases) {
        QVERIFY(autostart::enable(program));
        QFile f(entry);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        QVERIFY2(text.contains(QStringLiteral("\nExec=") + exec + QStringLiteral(" --run\n")),
                 qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("\nType=Application\n")) &&
                text.contains(QStringLiteral("\nIcon=quilmon7400\n")));
        QProcess validate;
        validate.start(QStringLiteral("desktop-file-validate"), {entry});
        QVERIFY(validate.waitForFinished(10000));
        QVERIFY2(validate.exitCode() == 0, validate.readAllStandardOutput().constData());
        QVERIFY(autostart::enabled(program) && !autostart::outdated(program));
        QVERIFY(!autostart::enabled(QStringLiteral("/usr/bin/other")));
    }
    QVERIFY(autostart::execLine(QStringLiteral("/a\nb")).isEmpty());
    // A planted link is replaced, never written through.
    QVERIFY(autostart::disable());
    QFile target(dir.filePath(QStringLiteral("target")));
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.close();
    QVERIFY(QFile::link(target.fileName(), entry));
    QVERIFY(!autostart::enabled(QStringLiteral("/opt/quil/quilmon7400")));
    QVERIFY(autostart::enable(QStringLiteral("/opt/quil/quilmon7400")));
    QCOMPARE(QFileInfo(entry).isSymLink(), false);
    QCOMPARE(QFileInfo(target.fileName()).size(), 0);
    QVERIFY(autostart::disable() && !QFile::exists(entry));
    // Without XDG_CONFIG_HOME: ~/.config.
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(autostart::entryPath(),
             QDir::homePath() + QStringLiteral("/.config/autostart/quilmon7400.desktop"));
}

void TestDesktop::autostartFromTheDialog() {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    const QString self = QCoreApplication::applicationFilePath();
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("autostart"))));
    QFile old(autostart::entryPath()); // an older version's, without --run
    QVERIFY(old.open(QIODevice::WriteOnly) &&
            old.write("[Desktop Entry]\nExec=" + autostart::execLine(self).toUtf8() + '\n') > 0);
    old.close();
    Desk f(kRecord);
    QVERIFY(f.start());
    QVERIFY(autostart::enabled(self) && !autostart::outdated(self)); // brought up to date
    f.desktop("Autostart", false);
    QVERIFY(!QFile::exists(autostart::entryPath()));
    f.desktop("Autostart", true);
    QVERIFY(autostart::enabled(self));
    // Shown as found, and not a setting of the files.
    QTest::mouseClick(child<QPushButton>(&f.w(), "Command8"), Qt::LeftButton);
    QVERIFY(child<QCheckBox>(f.program->connectionDialog(), "Autostart")->isChecked());
    QTest::mouseClick(child<QPushButton>(f.program->connectionDialog(), "Command2"),
                      Qt::LeftButton);
    QTRY_VERIFY(!f.program->connectionDialog());
    QVERIFY(!QFile::exists(f.path(QStringLiteral("quil7400.conf"))));
    f.desktop("Autostart", false);
    QVERIFY(!QFile::exists(autostart::entryPath()));
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
