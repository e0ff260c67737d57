// The program's folder read-only, on a full disk, or with links and FIFOs
// planted in it: start-up, Test, Run and checks never crash or block,
// nothing already stored is lost, nothing outside is written, and the user
// is told.
// As root the test runs in a mount namespace of its own and puts the folder
// on a small tmpfs; without root the read-only case uses permissions and
// the full disk is skipped.
#include "check/settingsfile.h"
#include "platform/folders.h"
#include "support/faults_pop3server.h"
#include "support/programfixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool g_canMount = false;

const QByteArray kLanPopup =
    "\"127.0.0.1\",\"secret\",\"\",\"\",\"taro\",\"\",0,4,0,0,\"0:00\",\"0:00\",\"\"\r\n";
const QByteArray kStore = "3\r\n\"\"\r\n\"aa\"\r\n\"cc\"\r\n";
const QByteArray kLog = "2026/01/01 9:00:00  start\r\n";

bool put(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.flush();
}

// The fixture's folder, on a tmpfs of its own when root; unmounted before
// the folder is removed.
struct Folder {
    QString path;
    bool mounted = false;
    explicit Folder(const QString &p, const char *size = "size=256k") : path(p) {
        if (g_canMount)
            mounted = ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, size) == 0;
    }
    ~Folder() {
        if (mounted)
            ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
        else
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    bool makeReadOnly() {
        if (mounted)
            return ::mount(nullptr, QFile::encodeName(path).constData(), nullptr,
                           MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        if (geteuid() == 0) return false; // root writes through permissions
        return QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
    }
    bool makeWritable() {
        if (mounted)
            return ::mount(nullptr, QFile::encodeName(path).constData(), nullptr, MS_REMOUNT,
                           "size=256k") == 0;
        return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // Fills the file system to its last byte.
    bool fill() {
        QFile f(path + QStringLiteral("/filler"));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return false;
        const QByteArray block(4096, 'x');
        while (f.write(block) > 0) {}
        const QByteArray byte(1, 'x');
        while (f.write(byte) > 0) {}
        return true;
    }
};

// A complete, successful check (or the test's check) against the server.
void serve(FaultyPop3Server &server) {
    server.mailbox = {"aa", "bb"};
    server.next = {};
}

bool waitIdle(ProgramFixture &f) {
    return QTest::qWaitFor([&] { return !f.check().pop3Running(); }, 5000);
}

const QByteArray kListed = "3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n";

} // namespace

class TestDiskFaults : public QObject {
    Q_OBJECT
  private slots:
    void readOnlyFolder();
    void fullDisk();
    void plantedLinksAndFifos();
};

void TestDiskFaults::readOnlyFolder() {
    FaultyPop3Server server(1);
    serve(server);
    ProgramFixture f;
    f.seams.popPort = server.port();
    f.seams.guardMs = 500;
    Folder folder(f.dir.path());
    QVERIFY(put(f.path(QStringLiteral("quil7400.dat")), kLanPopup));
    QVERIFY(put(f.path(QStringLiteral("quilmon.dat")), kStore));
    QVERIFY(put(f.path(QStringLiteral("quil7400.log")), kLog));
    if (!folder.makeReadOnly()) QSKIP("no way to make the folder read-only here");

    // No lock file can be made: still the program starts, it is no second copy.
    QVERIFY(f.start());
    MainWindow &w = f.w();
    const MainControls ui = f.ui();
    QVERIFY(w.isVisible());
    QCOMPARE(ui.Text1->text(), QStringLiteral("127.0.0.1"));

    // Run cannot save: the user is told, monitoring does not start.
    QTest::mouseClick(ui.Command4, Qt::LeftButton);
    QCOMPARE(f.boxes.size(), 1);
    QVERIFY(f.boxes[0].contains(QStringLiteral("保存できませんでした")));
    QVERIFY(w.isVisible());

    // Test: the check cannot keep its store, and the status line says so.
    ui.Command2->setEnabled(true);
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    QVERIFY(waitIdle(f));
    QCOMPARE(ui.Text4->text(), QStringLiteral("メールチェック失敗"));
    QVERIFY(!ui.Text4->isHidden());
    QVERIFY(!ui.Command4->isEnabled());

    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), kLanPopup);
    QCOMPARE(f.fileBytes(QStringLiteral("quilmon.dat")), kStore);

    // Writable again: the same program saves and checks as usual.
    QVERIFY(folder.makeWritable());
    QTest::mouseClick(ui.Command2, Qt::LeftButton);
    QVERIFY(waitIdle(f));
    QCOMPARE(f.fileBytes(QStringLiteral("quilmon.dat")),
             QByteArray("3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n"));
    QVERIFY(ui.Command4->isEnabled());
}

void TestDiskFaults::fullDisk() {
    if (!g_canMount) QSKIP("a small file system of its own needs root");
    FaultyPop3Server server(2);
    serve(server);
    ProgramFixture f;
    f.seams.popPort = server.port();
    f.seams.guardMs = 500;
    Folder folder(f.dir.path());
    QVERIFY(folder.mounted);
    QVERIFY(put(f.path(QStringLiteral("quil7400.dat")), kLanPopup));
    QVERIFY(put(f.path(QStringLiteral("quilmon.dat")), kStore));
    QVERIFY(put(f.path(QStringLiteral("quil7400.log")), kLog));
    QVERIFY(folder.fill());

    QVERIFY(f.start());
    MainWindow &w = f.w();
    const MainControls ui = f.ui();
    QVERIFY(w.isVisible());

    QTest::mouseClick(ui.Command4, Qt::LeftButton); // Run: cannot save
    QCOMPARE(f.boxes.size(), 1);
    QVERIFY(f.boxes[0].contains(QStringLiteral("保存できませんでした")));
    QVERIFY(w.isVisible());

    ui.Command2->setEnabled(true);
    QTest::mouseClick(ui.Command2, Qt::LeftButton); // Test: the store cannot be replaced
    QVERIFY(waitIdle(f));
    QCOMPARE(ui.Text4->text(), QStringLiteral("メールチェック失敗"));

    // Run while there is room, then scheduled checks on the full disk fail
    // and are retried, and the store stays. The failed test above counts as
    // the first failure.
    QVERIFY(QFile::remove(f.path(QStringLiteral("filler"))));
    ui.Command4->setEnabled(true);
    QTest::mouseClick(ui.Command4, Qt::LeftButton);
    QVERIFY(!w.isVisible() && folder.fill());
    f.clock = QDateTime(QDate(2026, 1, 1), QTime(12, 0, 0));
    f.scheduler().Timer1_Timer();
    QVERIFY(waitIdle(f));
    QCOMPARE(f.check().retries(), 2);
    f.clock = f.clock.addSecs(60); // given up until the next interval
    f.scheduler().Timer1_Timer();
    QCOMPARE(f.check().retries(), 0);
    QVERIFY(!f.check().pop3Running());

    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), kLanPopup);
    QCOMPARE(f.fileBytes(QStringLiteral("quilmon.dat")), kStore);
    QVERIFY(f.fileBytes(QStringLiteral("quil7400.log")).startsWith(kLog));
    // No temporary file is left behind to fill the folder further.
    for (const QString &name : QDir(f.dir.path()).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(!name.startsWith(QStringLiteral("quilmon.dat.")) &&
                     !name.startsWith(QStringLiteral("quil7400.dat.")),
                 qPrintable(name));

    // Space again: the next check keeps its listing.
    QVERIFY(QFile::remove(f.path(QStringLiteral("filler"))));
    serve(server);
    f.clock = f.clock.addSecs(540); // 12:10
    f.scheduler().Timer1_Timer();
    QVERIFY(f.check().pop3Running());
    QVERIFY(waitIdle(f));
    QCOMPARE(f.fileBytes(QStringLiteral("quilmon.dat")),
             QByteArray("3\r\n\"\"\r\n\"aa\"\r\n\"bb\"\r\n"));
}

void TestDiskFaults::plantedLinksAndFifos() {
    const mode_t mask = ::umask(022);
    const auto restoreMask = qScopeGuard([mask] { ::umask(mask); });
    FaultyPop3Server server(3);
    serve(server);
    ProgramFixture f;
    f.seams.popPort = server.port();
    QTemporaryDir outside;
    const QStringList names{QStringLiteral("quil7400.dat"), QStringLiteral("quilmon.dat"),
                            QStringLiteral("quil7400.log"), QStringLiteral("quil7400.conf")};
    // A link to a file elsewhere holding its own name, or a FIFO.
    const auto plant = [&](int i, bool link) {
        const QString there = outside.filePath(names[i]);
        QFile::remove(f.path(names[i]));
        return link ? put(there, names[i].toUtf8()) && QFile::link(there, f.path(names[i]))
                    : ::mkfifo(QFile::encodeName(f.path(names[i])).constData(), 0600) == 0;
    };
    QVERIFY(plant(0, false) && plant(1, true) && plant(2, true) && plant(3, true));
    QVERIFY(f.start()); // the FIFO does not block it
    // The settings test, passed and saved: the store and the settings are
    // files of their own again.
    const MainControls ui = f.ui();
    const auto testPasses = [&] {
        ui.Command2->setEnabled(true);
        QTest::mouseClick(ui.Command2, Qt::LeftButton);
        return QTest::qWaitFor([&] { return ui.Command4->isEnabled(); }, 5000) &&
               QFileInfo(f.path(names[0])).isFile() && QFileInfo(f.path(names[1])).isFile() &&
               f.fileBytes(names[0]).startsWith("\"127.0.0.1\",\"secret\",") &&
               f.fileBytes(names[1]) == kListed;
    };
    ui.Text1->setText(QStringLiteral("127.0.0.1"));
    ui.Text2->setText(QStringLiteral("secret"));
    ui.Text6->setText(QStringLiteral("taro"));
    QTest::mouseClick(ui.Option6_1, Qt::LeftButton);
    QVERIFY(testPasses());
    QVERIFY(plant(0, true) && plant(1, false));
    QVERIFY(testPasses()); // nor a check
    SettingsRecord record = f.program->settings();
    record.Dup_Entry = QStringLiteral("Büro"); // kept in the side file
    QVERIFY(settingsfile::save(f.dir.path(), record));
    // Nothing was written through a link; the log's stays, refused.
    for (const QString &name : names) {
        QCOMPARE(QFileInfo(f.path(name)).isSymLink(), name.endsWith(u"log"));
        QFile target(outside.filePath(name));
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), name.toUtf8());
    }
    // Made anew, the log is its owner's alone whatever the umask.
    QVERIFY(QFile::remove(f.path(names[2])));
    ui.Command4->click();
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(f.path(names[2])).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    // The program's mask is its own; a program it starts gets the user's.
    folders::keepFilesPrivate();
    const QString said = outside.filePath(QStringLiteral("umask"));
    QVERIFY(folders::startAsUser(QStringLiteral("/bin/sh"),
                                 {QStringLiteral("-c"), QStringLiteral("umask >") + said}));
    const auto content = [&said] {
        QFile file(said);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTRY_COMPARE(content(), QByteArray("0022\n"));
    QCOMPARE(::umask(077), mode_t(077));
}

int main(int argc, char **argv) {
    // Before any thread exists: a private mount namespace, so the tmpfs
    // mounts of this test are seen by nobody else and vanish with it.
    g_canMount = geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QApplication app(argc, argv);
    TestDiskFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_diskfaults.moc"
