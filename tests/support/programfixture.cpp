#include "support/programfixture.h"

#include "app/icons.h"
#include "platform/codepage.h"

#include <QApplication>
#include <QFile>
#include <QSystemTrayIcon>
#include <QTest>

MainControls::MainControls(QWidget *w)
#define QUIL_FIND(type, name) name(child<type>(w, #name))
    : QUIL_FIND(QLineEdit, Text1), QUIL_FIND(QLineEdit, Text2), QUIL_FIND(QLineEdit, Text3),
      QUIL_FIND(QLineEdit, Text4), QUIL_FIND(QLineEdit, Text5), QUIL_FIND(QLineEdit, Text6),
      QUIL_FIND(QLineEdit, Text7), QUIL_FIND(QRadioButton, Option1),
      QUIL_FIND(QRadioButton, Option2), QUIL_FIND(QRadioButton, Option3),
      QUIL_FIND(QRadioButton, Option4), QUIL_FIND(QRadioButton, Option5),
      QUIL_FIND(QRadioButton, Option6_0), QUIL_FIND(QRadioButton, Option6_1),
      QUIL_FIND(QRadioButton, Option7), QUIL_FIND(QRadioButton, Option8),
      QUIL_FIND(QCheckBox, Check1), QUIL_FIND(QCheckBox, Check3), QUIL_FIND(QComboBox, Combo1),
      QUIL_FIND(QComboBox, Combo2), QUIL_FIND(QComboBox, Combo3), QUIL_FIND(QPushButton, Command1),
      QUIL_FIND(QPushButton, Command2), QUIL_FIND(QPushButton, Command3),
      QUIL_FIND(QPushButton, Command4), QUIL_FIND(QPushButton, Command7) {
}
#undef QUIL_FIND

QMenu *trayMenu() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == u"menuup") return qobject_cast<QMenu *>(w);
    return nullptr;
}

QAction *trayEntry(const char *name) {
    return child<QAction>(trayMenu(), name);
}

ProgramFixture::ProgramFixture(const QByteArray *settings) {
    seams.now = [this] { return clock; };
    seams.configDir = seams.stateDir = dir.path();
    seams.helpFile = path(QStringLiteral("quillmon.hlp"));
    seams.guardMs = 2000;
    seams.hangUpWaitMs = 10;
    seams.linkErrorWaitMs = 10;
    seams.linkTickMs = 20;
    app.messageBox = [this](QWidget *, const QString &title, const QString &text) {
        boxes << title + u'|' + text;
    };
    // Warnings are taken as the user accepting them.
    app.question = [this](QWidget *, const QString &title, const QString &text,
                          std::function<void()> accepted) {
        boxes << title + u'|' + text;
        accepted();
    };
    app.openHelp = [this](const QString &p) { helpOpened << p; };
    app.exitNow = [this] { ++exits; };
    if (settings) {
        QFile f(path(QStringLiteral("quil7400.dat")));
        if (f.open(QIODevice::WriteOnly)) f.write(*settings);
    }
}

bool ProgramFixture::start(bool run) {
    program = std::make_unique<Program>(seams, app);
    if (!program->start(run)) return false;
    // The tray icon and the local server come in the event loop's first turn.
    const auto *tray = child<QSystemTrayIcon>(program->icons(), "trayIcon");
    return QTest::qWaitFor([tray] { return tray->isVisible(); }, 5000);
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
