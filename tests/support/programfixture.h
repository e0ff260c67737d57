#pragma once
// A whole program in a temporary folder, with a clock, message boxes, help
// and exit that the test controls and records.
#include "app/mainwindow.h"
#include "app/program.h"
#include "platform/seams.h"

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

struct ProgramFixture {
    explicit ProgramFixture(const QByteArray *settings = nullptr);
    // Builds the program and runs its start-up; false when it refused to run.
    bool start();

    QString path(const QString &name) const { return dir.filePath(name); }
    QByteArray fileBytes(const QString &name) const;
    QStringList logMessages() const; // the log's messages, time stamps cut off
    MainWindow &w() const { return *program->mainWindow(); }

    QTemporaryDir dir;
    QDateTime clock = QDateTime(QDate(2026, 1, 1), QTime(11, 59, 50));
    QStringList boxes; // "title|text" of every message box
    QStringList helpOpened;
    int exits = 0;
    Seams seams;
    std::unique_ptr<Program> program;
};
