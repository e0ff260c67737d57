#pragma once
// A whole program in a temporary folder, with a clock, message boxes, help
// and exit that the test controls and records. The windows' controls are
// found as a user's tools find them: by objectName.
#include "app/mainwindow.h"
#include "app/program.h"
#include "check/mailcheck.h"
#include "check/scheduler.h"
#include "platform/seams.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// The named controls of the settings window.
struct MainControls {
    explicit MainControls(QWidget *w);
    QLineEdit *Text1, *Text2, *Text3, *Text4, *Text5, *Text6, *Text7;
    QRadioButton *Option1, *Option2, *Option3, *Option4, *Option5, *Option6_0, *Option6_1, *Option7,
        *Option8;
    QCheckBox *Check1, *Check3;
    QComboBox *Combo1, *Combo2, *Combo3;
    QPushButton *Command1, *Command2, *Command3, *Command4, *Command7;
};

// A named child of a window; fails the test (null) when there is none.
template <typename T> T *child(const QObject *parent, const char *name) {
    return parent ? parent->findChild<T *>(QString::fromLatin1(name)) : nullptr;
}

// The tray menu, a window of its own named menuup, and its entries by name.
QMenu *trayMenu();
QAction *trayEntry(const char *name);

struct ProgramFixture {
    explicit ProgramFixture(const QByteArray *settings = nullptr);
    // Builds the program and runs its start-up (run: as started at login);
    // false when it refused to run.
    bool start(bool run = false);

    QString path(const QString &name) const { return dir.filePath(name); }
    QByteArray fileBytes(const QString &name) const;
    QStringList logMessages() const; // the log's messages, time stamps cut off
    MainWindow &w() const { return *program->mainWindow(); }
    MainControls ui() const { return MainControls(program->mainWindow()); }
    MailCheck &check() const { return *program->check(); }
    Scheduler &scheduler() const { return *program->scheduler(); }

    QTemporaryDir dir;
    QDateTime clock = QDateTime(QDate(2026, 1, 1), QTime(11, 59, 50));
    QStringList boxes; // "title|text" of every message box
    QStringList helpOpened;
    int exits = 0;
    Seams seams;
    AppSeams app;
    std::unique_ptr<Program> program;
};
