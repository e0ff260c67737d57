// Killed at any moment while it rewrites the seen-id store and the settings
// file, the program leaves each file whole: the old version or the new one.
#include "e2e/faults_contents.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>

class TestKillRewrite : public QObject {
    Q_OBJECT
  private slots:
    void filesAreOldOrNewNeverTorn();
};

void TestKillRewrite::filesAreOldOrNewNeverTorn() {
    const QString helper = QStringLiteral(QUIL_BINARY_DIR "/tests/e2e/faults_rewriter");
    QVERIFY2(QFile::exists(helper), qPrintable(helper));
    const QByteArray store[2] = {FormatUidStore(faults::uids('a')),
                                 FormatUidStore(faults::uids('b'))};
    const QByteArray settings[2] = {settingsfile::format(faults::settings('a')),
                                    settingsfile::format(faults::settings('b'))};
    QTemporaryDir dir;
    const QString storePath = UidStorePath(dir.path());
    const QString settingsPath = dir.filePath(QStringLiteral("quil7400.dat"));
    auto put = [](const QString &path, const QByteArray &bytes) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    QVERIFY(put(storePath, store[0]) && put(settingsPath, settings[0]));
    auto read = [](const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    };

    QRandomGenerator rng(200);
    QElapsedTimer clock;
    clock.start();
    int rounds = 0, storeChanges = 0, settingsChanges = 0;
    QByteArray lastStore = store[0], lastSettings = settings[0];
    for (; rounds < 200 && clock.elapsed() < 60000; ++rounds) {
        QProcess p;
        p.start(helper, {dir.path()});
        QVERIFY(p.waitForStarted());
        QVERIFY(p.waitForReadyRead(10000)); // "ready": about to write
        QThread::usleep(rng.bounded(20000));
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitStatus(), QProcess::CrashExit); // killed while still writing

        const QByteArray s = read(storePath), t = read(settingsPath);
        QVERIFY2(s == store[0] || s == store[1], qPrintable(QString::number(rounds)));
        QVERIFY2(t == settings[0] || t == settings[1], qPrintable(QString::number(rounds)));
        // And the program reads them back as what was written.
        QVERIFY(ParseUidStore(s).has_value());
        SettingsRecord r;
        QVERIFY(settingsfile::parse(t, r));
        storeChanges += s != lastStore;
        settingsChanges += t != lastSettings;
        lastStore = s;
        lastSettings = t;
    }
    qInfo("%d kills in %lld ms; the store changed in %d rounds, the settings in %d", rounds,
          clock.elapsed(), storeChanges, settingsChanges);
    QVERIFY(rounds >= 50);
    // Kills landed at different moments, not all before the first write.
    QVERIFY(storeChanges > 0 && settingsChanges > 0);
}

QTEST_GUILESS_MAIN(TestKillRewrite)
#include "tst_killrewrite.moc"
