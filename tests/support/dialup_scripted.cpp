#include "support/dialup_scripted.h"

quint32 ScriptedBackend::entries(QStringList &names) {
    if (entriesError) return entriesError;
    names = entryNames;
    return 0;
}

quint32 ScriptedBackend::connections(QList<Link> &out) {
    if (connectionsError) return connectionsError;
    out = links;
    return 0;
}

quint32 ScriptedBackend::findEntry(const QString &name) {
    return entryNames.contains(name) ? 0 : raserr::CannotFindEntry;
}

quint32 ScriptedBackend::dial(const QString &name, quint32 &handle) {
    dials << name;
    if (onDial) onDial();
    if (dialError) return dialError;
    if (!entryNames.contains(name)) return raserr::CannotFindEntry;
    handle = m_next++;
    return 0;
}

void ScriptedBackend::reply(quint32 rc, qint32 state, quint32 error) {
    Status s;
    s.state = state;
    s.error = error;
    m_replies.append({rc, s});
}

quint32 ScriptedBackend::status(quint32 handle, Status &out) {
    statusFor << handle;
    // The last reply repeats until another is queued.
    if (!m_replies.isEmpty()) m_last = m_replies.takeFirst();
    out = m_last.status;
    return m_last.rc;
}

quint32 ScriptedBackend::hangUp(quint32 handle) {
    hangUps << handle;
    if (onHangUp) onHangUp();
    return 0;
}

FakeDialHost::FakeDialHost() {
    seams.ras = &backend;
    seams.linkTickMs = 60000; // the tests tick the monitor themselves
    seams.hangUpWaitMs = 300;
    seams.linkErrorWaitMs = 100;
}

void FakeDialHost::setStatus(const QString &text) {
    statusText = text;
    statusHistory << text;
    if (onSetStatus) onSetStatus();
}

void FakeDialHost::loadForm1() {
    ++form1Loads;
    form1 = true;
    if (onLoadForm1) onLoadForm1();
}

void FakeDialHost::unloadForm1() {
    ++form1Unloads;
    form1 = false;
}

void FakeDialHost::unloadForm3() {
    ++form3Unloads;
    form3 = false;
}
