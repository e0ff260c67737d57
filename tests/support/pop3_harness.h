#pragma once
// Runs Form1 on a FakeHost the way the program object does: loads it, and on
// its own unload request calls Form_Unload and deletes it later.
#include "pop3/form1.h"
#include "support/fakehost.h"

#include <QPointer>
#include <QTest>

struct Pop3Harness {
    FakeHost host;
    QPointer<Form1> form;

    Pop3Harness() {
        host.shared.POP_Address = QStringLiteral("127.0.0.1");
        host.shared.POP_UserID = QStringLiteral("taro");
        host.shared.POP_PassWord = QStringLiteral("secret");
        host.shared.Flag = 2;
        host.onUnloadForm1 = [this] {
            if (form) {
                form->Form_Unload();
                form->deleteLater();
            }
        };
    }
    ~Pop3Harness() { delete form; }

    void load() {
        host.form1IsLoaded = true;
        form = new Form1(host);
        form->Form_Load();
    }
    // Waits until Form1 has asked to be unloaded.
    bool waitDone(int ms = 10000) {
        return QTest::qWaitFor([this] { return !host.form1IsLoaded; }, ms);
    }
    QString storePath() const { return host.dir.filePath(QStringLiteral("quilmon.dat")); }
};
