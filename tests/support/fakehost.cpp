#include "support/fakehost.h"

FakeHost::FakeHost() {
    seamsValue.now = [] { return QDateTime(QDate(2026, 1, 1), QTime(12, 0, 0)); };
    seamsValue.guardMs = 60000;
    seamsValue.programDir = dir.path();
    shared.Log_File = dir.filePath(QStringLiteral("quil7400.log"));
}

void FakeHost::setStatus(const QString &text) {
    statusText = text;
    statusHistory << text;
}

bool FakeHost::saveTestedSettings() {
    ++saves;
    return saveSucceeds;
}

void FakeHost::loadForm3() {
    ++form3Loads;
    form3IsLoaded = true;
    if (onLoadForm3) onLoadForm3();
}

void FakeHost::unloadForm1() {
    ++form1Unloads;
    form1IsLoaded = false;
    if (onUnloadForm1) onUnloadForm1();
}

void FakeHost::unloadForm3() {
    ++form3Unloads;
    form3IsLoaded = false;
    if (onUnloadForm3) onUnloadForm3();
}
