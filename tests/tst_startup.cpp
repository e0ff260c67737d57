// Start-up from the settings file, saving it back, one copy at a time, and
// the log line.
#include "check/logfile.h"
#include "platform/codepage.h"
#include "platform/folders.h"
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
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
    void startedAtLoginMonitorsTestedSettings_data();
    void startedAtLoginMonitorsTestedSettings();
    void outOfRangeValuesAreKeptOrNormalised();
    void savingWritesTheSameBytesOwnerOnly();
    void aSaveThatFailsTellsTheUser();
    void secondCopyEndsSilently();
    void lockLeftByACrashIsTakenOver();
    void secondStartSocketIsPrivateAndNeverStalls();
    void logLinesAreStampedAndAppended();
    void filesGoToTheirOwnFolders();
    void portableOrInstalledByTheFolder();
    void installedCopyKeepsItsFilesInPrivateXdgFolders();
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

void TestStartup::startedAtLoginMonitorsTestedSettings_data() {
    QTest::addColumn<QByteArray>("record"); // empty: no settings file
    QTest::addColumn<bool>("run");          // started with --run
    QTest::addColumn<bool>("monitoring");
    QTest::newRow("tested, at login") << kStored << true << true;
    QTest::newRow("tested, by hand") << kStored << false << false;
    QTest::newRow("no settings, at login") << QByteArray() << true << false;
    QTest::newRow("no password, at login")
        << QByteArray(kStored).replace("\"secret\"", "\"\"") << true << false;
}

void TestStartup::startedAtLoginMonitorsTestedSettings() {
    QFETCH(QByteArray, record);
    QFETCH(bool, run);
    QFETCH(bool, monitoring);
    ProgramFixture f(record.isEmpty() ? nullptr : &record);
    QVERIFY(f.start(run));
    QCOMPARE(f.w().isVisible(), !monitoring);
    QCOMPARE(f.logMessages(),
             monitoring ? QStringList{QStringLiteral("実行開始しました。")} : QStringList());
    f.clock = QDateTime(QDate(2026, 1, 1), QTime(12, 0, 1));
    f.scheduler().Timer1_Timer();
    QCOMPARE(f.check().running(), monitoring);
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), record); // not written again
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
    QVERIFY(!f.logMessages().contains(QStringLiteral("実行開始しました。")));
    // Not even once the window gives way to the assistant (携帯/PHS).
    QTest::mouseClick(f.ui().Command1, Qt::LeftButton);
    f.clock = QDateTime(QDate(2026, 1, 1), QTime(12, 0, 1));
    f.scheduler().Timer1_Timer();
    QVERIFY(!f.w().isVisible() && !f.check().running());
}

void TestStartup::secondCopyEndsSilently() {
    ProgramFixture f;
    QVERIFY(f.start());
    f.w().hide(); // monitoring, and no tray to bring the window back
    f.w().showStatus(true);
    Program second(f.seams, f.app);
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
    second.seams.configDir = second.seams.stateDir = f.dir.path();
    QVERIFY(!Program(second.seams, second.app).start());
    holder.kill();
    QVERIFY(holder.waitForFinished());
    // Saves killed before their rename left their half-written copies.
    const QStringList leftovers{QStringLiteral("quil7400.dat.Ab12Cd"),
                                QStringLiteral("quil7400.conf.xYz789"),
                                QStringLiteral("quilmon.dat.000000")};
    for (const QString &name : leftovers + QStringList{QStringLiteral("quil7400.dat.bak")}) {
        QFile file(f.path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(f.start());
    for (const QString &name : leftovers)
        QVERIFY2(!QFile::exists(f.path(name)), qPrintable(name));
    QVERIFY(QFile::exists(f.path(QStringLiteral("quil7400.dat.bak"))));
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
    // The socket of a copy that was killed: nobody answers on it.
    const QString stale = runtime.filePath(QStringLiteral("quilmon7400-0123456789abcdef"));
    sockaddr_un addr{AF_UNIX, {}};
    const QByteArray path = QFile::encodeName(stale);
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    const int killed = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(::bind(killed, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    ::close(killed); // gone without removing its file
    {
        ProgramFixture f;
        QVERIFY(f.start());
        QTRY_VERIFY(!QFileInfo::exists(stale));
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
        QVERIFY(!Program(f.seams, f.app).start());
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
    // What a server sent cannot forge a line or reach a terminal.
    QCOMPARE(
        logfile::formatLine(t, u"（-ERR a\r\n2000/05/12 0:00:00  b\x1b[2J\x7f\x85\tc）"_qs),
        cp932::encode(u"2000/05/12 13:05:09  （-ERR a^M^J2000/05/12 0:00:00  b^[[2J^??\tc）\r\n"));
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

void TestStartup::filesGoToTheirOwnFolders() {
    ProgramFixture f(&kStored);
    const QString config = f.path(QStringLiteral("config")),
                  state = f.path(QStringLiteral("state"));
    QVERIFY(QDir().mkpath(config) && QDir().mkpath(state));
    QVERIFY(QFile::rename(f.path(QStringLiteral("quil7400.dat")),
                          config + QStringLiteral("/quil7400.dat")));
    f.seams.configDir = config;
    f.seams.stateDir = state;
    QVERIFY(f.start());
    QCOMPARE(f.ui().Text1->text(), QStringLiteral("pop.example.jp"));
    f.ui().Command4->click();
    QVERIFY(QFile::exists(config + QStringLiteral("/quil7400.dat")));
    QVERIFY(QFile::exists(state + QStringLiteral("/quil7400.log")));
    QVERIFY(QFile::exists(state + QStringLiteral("/quil7400.lock")));
    QCOMPARE(QDir(f.dir.path()).entryList(QDir::Files), QStringList());
    f.ui().Command7->click();
    QCOMPARE(f.helpOpened, QStringList{f.seams.helpFile});
    // A save that fails names the file where it belongs.
    QVERIFY(QFile::remove(config + QStringLiteral("/quil7400.dat")));
    QVERIFY(QDir(config).mkdir(QStringLiteral("quil7400.dat")));
    f.w().show();
    f.ui().Command4->click();
    QCOMPARE(f.boxes.size(), 1);
    QVERIFY(f.boxes[0].contains(config + QStringLiteral("/quil7400.dat")));
}

namespace {
// Sets environment variables for a scope; a null value unsets one.
struct Environment {
    ~Environment() {
        for (auto it = saved.cbegin(); it != saved.cend(); ++it) {
            if (it.value().isNull())
                qunsetenv(it.key().constData());
            else
                qputenv(it.key().constData(), it.value());
        }
    }
    void set(const char *name, const QString &value) {
        if (!saved.contains(name))
            saved.insert(name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray());
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, QFile::encodeName(value));
    }
    QMap<QByteArray, QByteArray> saved;
};

mode_t modeOf(const QString &path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool own(const QString &path, uid_t uid, gid_t gid, mode_t mode) {
    const QByteArray p = QFile::encodeName(path);
    return ::chown(p.constData(), uid, gid) == 0 && ::chmod(p.constData(), mode) == 0;
}

bool write(const QString &path, const QByteArray &bytes = "x") {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
} // namespace

void TestStartup::portableOrInstalledByTheFolder() {
    if (::geteuid() != 0) QSKIP("giving a folder to another user needs root");
    // root's own group "root" has no other members: a private group.
    const uid_t me = ::geteuid(), nobody = 65534;
    const gid_t mine = ::getegid(), shared = 65534;
    struct Case {
        const char *what;
        mode_t mode;
        uid_t owner;
        gid_t group;
        bool settings, portable;
        mode_t parentMode = 0700; // and its group is the shared one
    } const cases[] = {
        {"0700, ours", 0700, me, mine, false, true},
        {"0755, ours", 0755, me, mine, false, true},
        {"0775, our private group", 0775, me, mine, false, true},
        {"0775, a shared group, settings beside", 0775, me, shared, true, false},
        {"0777, settings beside", 0777, me, mine, true, false},
        {"1777, sticky", 01777, me, mine, false, false},
        {"0755, another's", 0755, nobody, shared, false, false},
        {"0755, another's, settings beside", 0755, nobody, shared, true, false},
        {"0755, ours, in a group-writable folder", 0755, me, mine, true, false, 0775},
        {"0755, ours, in a sticky shared folder", 0755, me, mine, true, true, 01777},
    };
    for (const Case &c : cases) {
        QTemporaryDir root;
        const QString dir = root.filePath(QStringLiteral("app"));
        QVERIFY(QDir().mkdir(dir));
        if (c.settings) QVERIFY(write(dir + QStringLiteral("/quil7400.dat")));
        QVERIFY(own(dir, c.owner, c.group, c.mode));
        QVERIFY(own(root.path(), me, shared, c.parentMode));
        QVERIFY2(folders::portable(dir) == c.portable, c.what);
    }
    // <prefix>/bin beside <prefix>/share/quilmon7400/quillmon.hlp is an
    // installed copy even in a folder of the user's own, unless the
    // settings are beside it.
    QTemporaryDir prefix;
    const QString bin = prefix.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin) &&
            QDir().mkpath(prefix.filePath(QStringLiteral("share/quilmon7400"))));
    QVERIFY(folders::portable(bin));
    QVERIFY(write(prefix.filePath(QStringLiteral("share/quilmon7400/quillmon.hlp"))));
    QVERIFY(!folders::portable(bin));
    QVERIFY(write(bin + QStringLiteral("/quil7400.dat")));
    QVERIFY(folders::portable(bin));
    const folders::Places beside = folders::locate(bin);
    QVERIFY(beside.portable && beside.error.isEmpty());
    QCOMPARE(beside.configDir, bin);
    QCOMPARE(beside.stateDir, bin);
    QCOMPARE(beside.helpFile, bin + QStringLiteral("/quillmon.hlp"));
}

void TestStartup::installedCopyKeepsItsFilesInPrivateXdgFolders() {
    QTemporaryDir prefix, home, data;
    const QString bin = prefix.filePath(QStringLiteral("bin"));
    const QString help = prefix.filePath(QStringLiteral("share/quilmon7400/quillmon.hlp"));
    QVERIFY(QDir().mkpath(bin) &&
            QDir().mkpath(prefix.filePath(QStringLiteral("share/quilmon7400"))));
    QVERIFY(write(help));
    Environment env;
    env.set("HOME", home.path());
    env.set("XDG_CONFIG_HOME", QString());
    env.set("XDG_STATE_HOME", QStringLiteral("state")); // relative: to be ignored
    env.set("XDG_DATA_DIRS", QString());
    folders::Places p = folders::locate(bin);
    QVERIFY2(!p.portable && p.error.isEmpty(), qPrintable(p.error));
    QCOMPARE(p.configDir, home.filePath(QStringLiteral(".config/quilmon7400")));
    QCOMPARE(p.stateDir, home.filePath(QStringLiteral(".local/state/quilmon7400")));
    QCOMPARE(modeOf(p.configDir), mode_t(0700));
    QCOMPARE(modeOf(p.stateDir), mode_t(0700));
    QCOMPARE(p.helpFile, help);
    QCOMPARE(QDir(bin).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

    // Without the help file under the prefix: the first one in the data folders.
    QVERIFY(QFile::remove(help));
    QVERIFY(::chmod(QFile::encodeName(bin).constData(), 0777) == 0); // not portable
    QVERIFY(QDir().mkpath(data.filePath(QStringLiteral("quilmon7400"))));
    QVERIFY(write(data.filePath(QStringLiteral("quilmon7400/quillmon.hlp"))));
    env.set("XDG_DATA_DIRS", QStringLiteral("share:/nonexistent:") + data.path());
    QCOMPARE(folders::locate(bin).helpFile,
             data.filePath(QStringLiteral("quilmon7400/quillmon.hlp")));

    // Folders that are not the user's alone are refused, never used or repaired.
    const QString config = home.filePath(QStringLiteral("elsewhere"));
    env.set("XDG_CONFIG_HOME", config);
    const QString target = home.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(config) && QDir().mkdir(target));
    QVERIFY(QFile::link(target, config + QStringLiteral("/quilmon7400")));
    p = folders::locate(bin);
    QVERIFY2(p.error.contains(QStringLiteral("シンボリックリンク")), qPrintable(p.error));
    QVERIFY(p.error.contains(config + QStringLiteral("/quilmon7400")));
    QVERIFY(QFile::remove(config + QStringLiteral("/quilmon7400")));
    QVERIFY(QDir().mkdir(config + QStringLiteral("/quilmon7400")));
    QVERIFY(::chmod(QFile::encodeName(config + QStringLiteral("/quilmon7400")).constData(), 0777) ==
            0);
    QVERIFY(folders::locate(bin).error.contains(QStringLiteral("ほかのユーザーも書き込める")));
    QCOMPARE(modeOf(config + QStringLiteral("/quilmon7400")), mode_t(0777));
    // The folder is the user's alone, the one above it is not.
    QVERIFY(::chmod(QFile::encodeName(config + QStringLiteral("/quilmon7400")).constData(), 0700) ==
                0 &&
            ::chmod(QFile::encodeName(config).constData(), 0777) == 0);
    p = folders::locate(bin);
    QVERIFY2(p.error.contains(QStringLiteral("上のフォルダ「") + config), qPrintable(p.error));
    QVERIFY(::chmod(QFile::encodeName(config).constData(), 0700) == 0);
    if (::geteuid() == 0) {
        QVERIFY(own(config + QStringLiteral("/quilmon7400"), 65534, 65534, 0700));
        QVERIFY(folders::locate(bin).error.contains(QStringLiteral("ほかのユーザーのフォルダ")));
    }
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
