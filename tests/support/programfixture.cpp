#include "support/programfixture.h"

#include "platform/codepage.h"

#include <QFile>
#include <QTest>

ProgramFixture::ProgramFixture(const QByteArray *settings) {
    seams.now = [this] { return clock; };
    seams.programDir = dir.path();
    seams.guardMs = 2000;
    seams.hangUpWaitMs = 10;
    seams.linkErrorWaitMs = 10;
    seams.linkTickMs = 20;
    seams.messageBox = [this](QWidget *, const QString &title, const QString &text) {
        boxes << title + u'|' + text;
    };
    seams.openHelp = [this](const QString &p) { helpOpened << p; };
    seams.exitNow = [this] { ++exits; };
    if (settings) {
        QFile f(path(QStringLiteral("quil7400.dat")));
        if (f.open(QIODevice::WriteOnly)) f.write(*settings);
    }
}

bool ProgramFixture::start() {
    program = std::make_unique<Program>(seams);
    if (!program->start()) return false;
    // The tray icon and the local server come in the event loop's first turn.
    return QTest::qWaitFor([this] { return program->trayWindow() != 0; }, 5000);
}

QByteArray ProgramFixture::fileBytes(const QString &name) const {
    QFile f(path(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

QStringList ProgramFixture::logMessages() const {
    QStringList out;
    const QString text = cp932::decode(fileBytes(QStringLiteral("quil7400.log")));
    for (const QString &line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        const qsizetype sep = line.indexOf(QStringLiteral("  "));
        out << (sep >= 0 ? line.mid(sep + 2) : line);
    }
    return out;
}
