#pragma once
// The check layer for the session fuzzers, without an event loop: a real
// MailCheck in the fuzzers' folder whose reports are recorded, its sessions
// over in-memory links. A fuzzer starts a check and plays the server on the
// link it made (bytes, a close, a guard running out), reading what the
// session wrote. Sessions that never ran go with the check.
#include "check/mailcheck.h"
#include "platform/linesession.h"
#include "platform/seams.h"
#include "support/memorylink.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>

struct RecordingHost {
    explicit RecordingHost(const QString &dir) {
        seams.now = [] { return QDateTime(QDate(2026, 1, 1), QTime(12, 0, 0)); };
        seams.configDir = seams.stateDir = dir;
        seams.makeLink = [this] {
            links << new MemoryLink;
            return links.last();
        };
        check = std::make_unique<MailCheck>(seams);
        MailCheck *c = check.get();
        QObject::connect(c, &MailCheck::logLine, c, [this](const QString &message, bool separator) {
            logLines << (separator ? message : QStringLiteral("|") + message);
        });
        QObject::connect(c, &MailCheck::testPassed, c, [this] { ++passes; });
    }

    // The running session's guard (connect or reply) runs out now.
    void guardRunsOut() {
        for (LineSession *s : check->findChildren<LineSession *>())
            for (QTimer *t : s->findChildren<QTimer *>())
                if (t->isActive()) QMetaObject::invokeMethod(t, "timeout", Qt::DirectConnection);
    }

    Seams seams;
    QList<MemoryLink *> links; // owned by their sessions
    std::unique_ptr<MailCheck> check;
    QStringList logLines; // lines logged without the separator start with "|"
    int passes = 0;       // settings tests that ended without error
};

namespace fuzzsupport {

// One application object for all runs, and quiet: a flood of warnings
// would slow the fuzzer down to nothing.
inline void startQt() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// The program folder for the runs: in memory where the system has it.
inline QString workDir() {
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/quilfuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/quilfuzz-XXXXXX"));
    return dir.path();
}

// The complete CR LF lines of a byte stream, without their line ends.
inline QList<QByteArrayView> crlfLines(QByteArrayView bytes) {
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = bytes.indexOf(QByteArrayView("\r\n"), start);
        if (end < 0) return lines;
        lines << bytes.sliced(start, end - start);
        start = end + 2;
    }
}

} // namespace fuzzsupport
