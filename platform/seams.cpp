#include "platform/seams.h"

#include "platform/idlememory.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

Seams Seams::production() {
    Seams s;
    s.now = [] { return QDateTime::currentDateTime(); };
    s.programDir = QCoreApplication::applicationDirPath();
    s.messageBox = [](QWidget *parent, const QString &title, const QString &text) {
        QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
        box.exec();
    };
    s.releaseIdleMemory = [] { ::releaseIdleMemory(); };
    s.exitNow = [] {
        std::fflush(nullptr);
        std::_Exit(0);
    };
    return s;
}
