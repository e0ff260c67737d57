#pragma once
// A CheckHost without widgets for the session fuzzers: it records what a
// worker asks of the program, and stops the run (abort) when the worker
// touches anything after it asked to be unloaded.
#include "app/checkhost.h"
#include "app/sharedstate.h"
#include "platform/seams.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdlib>
#include <functional>

class RecordingHost : public CheckHost {
  public:
    explicit RecordingHost(const QString &dir) {
        seamsValue.now = [] { return QDateTime(QDate(2026, 1, 1), QTime(12, 0, 0)); };
        seamsValue.programDir = dir;
        shared.Log_File = dir + QStringLiteral("/quil7400.log");
    }

    SharedState &state() override { return shared; }
    const Seams &seams() const override { return seamsValue; }
    void setStatus(const QString &text) override {
        alive();
        statusText = text;
    }
    QString status() const override { return statusText; }
    bool forwardingSelected() const override { return forwarding; }
    bool popupSelected() const override { return !forwarding; }
    QString senderText() const override { return sender; }
    void setTestEnabled(bool) override { alive(); }
    void setRunEnabled(bool) override { alive(); }
    void showRunButton() override { alive(); }
    bool saveTestedSettings() override {
        alive();
        ++saves;
        return saveSucceeds;
    }
    void log(const QString &message) override {
        alive();
        logLines << message;
    }
    void logWithoutSeparator(const QString &message) override {
        alive();
        logLines << QStringLiteral("|") + message;
    }
    void loadForm3() override {
        alive();
        ++form3Loads;
    }
    void unloadForm1() override {
        alive();
        ++unloads;
        if (onUnload) onUnload();
    }
    void unloadForm3() override {
        alive();
        ++unloads;
        if (onUnload) onUnload();
    }
    bool form1Loaded() const override { return unloads == 0; }
    bool form3Loaded() const override { return form3Loads > 0; }
    void setPopupLabel(const QString &) override { alive(); }
    void showPopup() override { alive(); }
    bool settingsTestStarting() const override { return false; }
    QString programDir() const override { return seamsValue.programDir; }

    // A worker that asked to be unloaded is done: it may not act again.
    void alive() const {
        if (unloads > 0) std::abort();
    }

    SharedState shared;
    Seams seamsValue;
    QString statusText;
    bool forwarding = false;
    QString sender;
    bool saveSucceeds = true;
    int saves = 0;
    QStringList logLines;
    int form3Loads = 0;
    int unloads = 0;
    std::function<void()> onUnload;
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
