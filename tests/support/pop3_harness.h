#pragma once
// A POP3 check on a FakeHost: scheduled by default (host.test for the
// settings test), waited for until its sessions are over.
#include "support/fakehost.h"

#include <QEventLoop>
#include <QTest>

struct Pop3Harness {
    FakeHost host;

    void load() { host.start(); }
    bool waitDone(int ms = 10000) { return host.waitDone(ms); }
    // Starts a check and runs the event loop until it has finished, however
    // long that takes (the benchmarks time exactly this).
    void runToEnd() {
        QEventLoop loop;
        const QMetaObject::Connection done =
            QObject::connect(&host.check(), &MailCheck::finished, &loop, &QEventLoop::quit);
        load();
        if (host.pop3Running()) loop.exec();
        QObject::disconnect(done);
    }
    QString storePath() const { return host.storePath(); }
};
