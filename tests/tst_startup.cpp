// Start-up from the settings file, saving it back, one copy at a time, and
// the log line.
#include "check/logfile.h"
#include "platform/codepage.h"
#include "support/programfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QByteArray kStored =
    "\"pop.example.jp\",\"secret\",\"smtp.example.jp\",\"090@docomo.ne.jp\",\"taro\","
    "\"taro@example.jp\",0,3,1,1,\"22:00\",\"6:00\",\"Office\"\r\n";

// The names of the local sockets of this program in `folder`.
QStringList socketsIn(const QString &folder) {
    return QDir(folder).entryList({QStringLiteral("quilmon7400-*")}, QDir::System);
}
} // namespace

class TestStartup : public QObject {
    Q_OBJECT
  private slots:
    void firstRunWithoutSettings();
    void unreadableSettingsGiveTheFirstRunState();
    void storedSettingsFillTheWindow();
    void popupModeHidesTheForwardingFields();
    void outOfRangeValuesAreKeptOrNormalised();
    void savingWritesTheSameBytesOwnerOnly();
    void aSaveThatFailsTellsTheUser();
    void secondCopyEndsSilently();
    void lockLeftByACrashIsTakenOver();
    void secondStartSocketIsPrivateAndNeverStalls();
    void logLinesAreStampedAndAppended();
};

void TestStartup::firstRunWithoutSettings() {
    ProgramFixture f;
    QVERIFY(f.start());
    MainWindow &window = f.w();
    const MainControls w = f.ui();
    QLabel *senderLabel = child<QLabel>(&window, "Label7");
    for (QLineEdit *e : {w.Text1, w.Text2, w.Text3, w.Text5, w.Text6, w.Text7})
        QVERIFY(e->text().isEmpty());
    QVERIFY(w.Option6_0->isChecked());
    QVERIFY(!w.Text3->isHidden() && !w.Text5->isHidden() && !w.Command1->isHidden());
    QVERIFY(!w.Text7->isHidden() && !senderLabel->isHidden());
    QVERIFY(!w.Check3->isChecked());
    QVERIFY(!w.Check1->isChecked() && w.Combo2->isHidden() && w.Combo3->isHidden());
    QVERIFY(w.Option7->isChecked() && !w.Option8->isChecked() && w.Combo1->isHidden());
    QVERIFY(w.Option1->isChecked());
    QVERIFY(w.Command2->isEnabled());
    QVERIFY(!w.Command4->isEnabled());
    QVERIFY(w.Text4->isHidden());
    QCOMPARE(w.Combo2->count(), 24);
    QCOMPARE(w.Combo3->itemText(23), QStringLiteral("23:00"));
    QCOMPARE(w.Combo2->currentText(), QStringLiteral("0:00"));
    QCOMPARE(window.windowTitle(), QStringLiteral("クイルモン7400"));
    QCOMPARE(w.Text2->echoMode(), QLineEdit::Password);
    QCOMPARE(f.program->logPath(), f.path(QStringLiteral("quil7400.log")));
}

void TestStartup::unreadableSettingsGiveTheFirstRunState() {
    const QByteArray broken = "\"pop\",\"pw\",\"smtp\",\"to\",\"user\",\"\",0,x,0,1,,,\r\n";
    ProgramFixture f(&broken);
    QVERIFY(f.start());
    QVERIFY(f.ui().Text1->text().isEmpty());
    QVERIFY(!f.ui().Command4->isEnabled());
    QVERIFY(f.ui().Command2->isEnabled());
    QVERIFY(f.ui().Option1->isChecked());
    // Read before the failure: kept, but not shown.
    QCOMPARE(f.program->settings().POP_Address, QStringLiteral("pop"));
}

void TestStartup::storedSettingsFillTheWindow() {
    ProgramFixture f(&kStored);
    QVERIFY(f.start());
    const MainControls w = f.ui();
    QCOMPARE(w.Text1->text(), QStringLiteral("pop.example.jp"));
    QCOMPARE(w.Text2->text(), QStringLiteral("secret"));
    QCOMPARE(w.Text6->text(), QStringLiteral("taro"));
    QCOMPARE(w.Text7->text(), QStringLiteral("taro@example.jp"));
    QVERIFY(w.Check3->isChecked() && !w.Text7->isHidden());
    QVERIFY(w.Option7->isChecked());
    QVERIFY(w.Option4->isChecked());
    QVERIFY(w.Check1->isChecked() && !w.Combo2->isHidden());
    // Filling the hour lists must not overwrite the stored texts.
    QCOMPARE(w.Combo2->currentText(), QStringLiteral("22:00"));
    QCOMPARE(w.Combo3->currentText(), QStringLiteral("6:00"));
    // An entry no connection has still shows.
    QCOMPARE(w.Combo1->currentText(), QStringLiteral("Office"));
    QVERIFY(w.Command4->isEnabled());
    QVERIFY(!w.Command2->isEnabled());
    QVERIFY(w.Text4->isHidden());
    QCOMPARE(f.program->settings().POP_PassWord, QStringLiteral("secret"));
}

void TestStartup::popupModeHidesTheForwardingFields() {
    const QByteArray popup =
        "\"p\",\"w\",\"\",\"\",\"u\",\"\",1,4,0,0,\"0:00\",\"0:00\",\"Dial\"\r\n";
    ProgramFixture f(&popup);
    QVERIFY(f.start());
    const MainControls w = f.ui();
    QVERIFY(w.Option6_1->isChecked() && !w.Option6_0->isChecked());
    for (QWidget *c : {static_cast<QWidget *>(w.Command1), static_cast<QWidget *>(w.Text3),
                       static_cast<QWidget *>(w.Text5), static_cast<QWidget *>(w.Text7),
                       child<QWidget>(&f.w(), "Label7")})
        QVERIFY(c->isHidden());
    QVERIFY(!w.Check3->isChecked());
    QVERIFY(w.Option8->isChecked() && !w.Combo1->isHidden());
    QVERIFY(w.Option5->isChecked());
    QVERIFY(w.Command4->isEnabled() && !w.Command2->isEnabled());
}

void TestStartup::outOfRangeValuesAreKeptOrNormalised() {
    const QByteArray odd =
        "\"p\",\"w\",\"s\",\"t\",\"u\",\"\",-1,7,5,-3,\"1:00\",\"2:00\",\"\"\r\n";
    ProgramFixture f(&odd);
    QVERIFY(f.start());
    const MainControls w = f.ui();
    QVERIFY(w.Option8->isChecked() && w.Check1->isChecked() && w.Option6_0->isChecked());
    for (QRadioButton *o : {w.Option1, w.Option2, w.Option3, w.Option4, w.Option5})
        QVERIFY(!o->isChecked());
    w.Command4->click(); // 実行 saves
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")),
             QByteArray("\"p\",\"w\",\"s\",\"t\",\"u\",\"\",1,7,1,1,\"1:00\",\"2:00\",\"\"\r\n"));
}

void TestStartup::savingWritesTheSameBytesOwnerOnly() {
    ProgramFixture f(&kStored);
    QVERIFY(f.start());
    QPushButton *run = f.ui().Command4;
    run->click();
    const QByteArray once = f.fileBytes(QStringLiteral("quil7400.dat"));
    QCOMPARE(once, kStored);
    run->click();
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), once);
    const auto perms = QFile::permissions(f.path(QStringLiteral("quil7400.dat")));
    QCOMPARE(perms & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
}

void TestStartup::aSaveThatFailsTellsTheUser() {
    ProgramFixture f(&kStored);
    QVERIFY(f.start());
    // A directory where the file should be: no rename can replace it.
    QFile::remove(f.path(QStringLiteral("quil7400.dat")));
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("quil7400.dat")));
    // Run then tells the user, leaves the window open and monitoring off.
    f.w().show();
    QTest::mouseClick(f.ui().Command4, Qt::LeftButton);
    QCOMPARE(f.boxes.size(), 1);
    QVERIFY(f.boxes[0].contains(QStringLiteral("保存できませんでした")));
    QVERIFY(f.w().isVisible());
    QCOMPARE(int(f.program->Flag), 0);
    QVERIFY(!f.logMessages().contains(QStringLiteral("実行開始しました。")));
}

void TestStartup::secondCopyEndsSilently() {
    ProgramFixture f;
    QVERIFY(f.start());
    f.w().hide(); // monitoring, and no tray to bring the window back
    f.w().showStatus(true);
    Program second(f.seams);
    QVERIFY(!second.start());
    QVERIFY(second.mainWindow() == nullptr);
    QVERIFY(!QFile::exists(f.path(QStringLiteral("quil7400.log"))));
    // The running copy shows its window as the tray's 設定変更 would.
    QTRY_VERIFY(f.w().isVisible());
    QVERIFY(!f.w().statusShown());
}

void TestStartup::lockLeftByACrashIsTakenOver() {
    ProgramFixture f;
    // The lock file an older build left, naming a process long gone.
    QFile lock(f.path(QStringLiteral("quil7400.lock")));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write("2147483000\nquilmon7400\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    // Another process holds the lock, then dies by SIGKILL.
    QProcess holder;
    holder.start(QStringLiteral("python3"), {QStringLiteral("-c"),
                                             QStringLiteral("import fcntl, sys, time\n"
                                                            "f = open(sys.argv[1], 'a')\n"
                                                            "fcntl.flock(f, fcntl.LOCK_EX)\n"
                                                            "print('locked', flush=True)\n"
                                                            "time.sleep(60)\n"),
                                             lock.fileName()});
    QVERIFY(holder.waitForReadyRead(10000));
    ProgramFixture second;
    second.seams.programDir = f.dir.path();
    QVERIFY(!Program(second.seams).start());
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QVERIFY(f.start());
}

void TestStartup::secondStartSocketIsPrivateAndNeverStalls() {
    QTemporaryDir runtime, tmp; // both 0700 and ours
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR"), oldTmp = qgetenv("TMPDIR");
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_RUNTIME_DIR", oldRuntime);
        qputenv("TMPDIR", oldTmp);
    });
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    const QString own = tmp.filePath(QStringLiteral("quilmon7400-%1").arg(getuid()));
    {
        ProgramFixture f;
        QVERIFY(f.start());
        const QStringList sockets = socketsIn(runtime.path());
        QCOMPARE(sockets.size(), 1);
        QVERIFY(!QFile::exists(own));
        f.w().hide();
        // A peer that connects and says nothing: the GUI thread goes on...
        QLocalSocket silent;
        silent.connectToServer(runtime.filePath(sockets[0]));
        QVERIFY(silent.waitForConnected(1000));
        QElapsedTimer clock;
        clock.start();
        qint64 firedAt = -1;
        QTimer::singleShot(50, [&] { firedAt = clock.elapsed(); });
        QTRY_VERIFY(firedAt >= 0);
        QVERIFY2(firedAt < 400, qPrintable(QString::number(firedAt)));
        // ...and a second start meanwhile is still answered.
        QVERIFY(!Program(f.seams).start());
        QTRY_VERIFY(f.w().isVisible());
    }
    // A runtime folder others may enter is not used: a 0700 one of our own is.
    QVERIFY(::chmod(QFile::encodeName(runtime.path()).constData(), 0755) == 0);
    ProgramFixture f;
    QVERIFY(f.start());
    QCOMPARE(socketsIn(own).size(), 1);
    struct stat st;
    QVERIFY(::lstat(QFile::encodeName(own).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
}

void TestStartup::logLinesAreStampedAndAppended() {
    const QDateTime t(QDate(2000, 5, 12), QTime(13, 5, 9));
    // C locale (started at login): fixed forms with seconds.
    QCOMPARE(logfile::formatLine(t, QStringLiteral("実行開始しました。")),
             cp932::encode(u"2000/05/12 13:05:09  実行開始しました。\r\n"));
    QCOMPARE(logfile::formatLine(t, QString()), QByteArray("2000/05/12 13:05:09  \r\n"));
    QCOMPARE(logfile::formatLine(t, QStringLiteral("　x"), false),
             cp932::encode(u"2000/05/12 13:05:09　x\r\n"));
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quil7400.log"));
    QVERIFY(logfile::append(path, t, QStringLiteral("一")));
    QVERIFY(logfile::append(path, t.addSecs(1), QStringLiteral("二")));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             cp932::encode(u"2000/05/12 13:05:09  一\r\n2000/05/12 13:05:10  二\r\n"));
    QVERIFY(
        !logfile::append(dir.filePath(QStringLiteral("missing/x.log")), t, QStringLiteral("x")));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
