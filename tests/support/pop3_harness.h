#pragma once
// A POP3 check on a FakeHost: scheduled by default (host.test for the
// settings test), waited for until its sessions are over.
#include "support/fakehost.h"

#include <QTest>

struct Pop3Harness {
    FakeHost host;

    void load() { host.start(); }
    Form1 *form() { return host.check().form1(); }
    bool waitDone(int ms = 10000) { return host.waitDone(ms); }
    QString storePath() const { return host.storePath(); }
};
