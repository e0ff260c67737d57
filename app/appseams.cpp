#include "app/appseams.h"

#include "platform/folders.h"
#include "windows/helpviewer.h"

#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>

AppSeams AppSeams::production() {
    AppSeams s;
    // Opened, not run: no handler waits inside a nested event loop for the
    // user, so checks, timers and the link monitor go on as usual.
    s.messageBox = [](QWidget *parent, const QString &title, const QString &text) {
        auto *box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::ApplicationModal);
        box->show();
    };
    s.question = [](QWidget *parent, const QString &title, const QString &text,
                    std::function<void()> accepted) {
        auto *box = new QMessageBox(QMessageBox::Warning, title, text,
                                    QMessageBox::Ok | QMessageBox::Cancel, parent);
        box->button(QMessageBox::Cancel)->setText(QStringLiteral("キャンセル"));
        box->setDefaultButton(QMessageBox::Cancel);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::ApplicationModal);
        QObject::connect(box, &QMessageBox::buttonClicked, box,
                         [box, accepted = std::move(accepted)](QAbstractButton *b) {
                             if (box->standardButton(b) == QMessageBox::Ok) accepted();
                         });
        box->show();
    };
    s.openHelp = openHelpFile;
    // Freed heap goes back after a check; the program's code and fonts stay
    // where the kernel keeps them.
    s.releaseIdleMemory = [] { malloc_trim(0); };
    s.exitNow = [] {
        std::fflush(nullptr);
        std::_Exit(0);
    };
    s.startProcess = folders::startAsUser;
    return s;
}
