#include "support/dialup_scripted.h"

#include <utility>

void ScriptedBackend::answer(std::function<void()> a) {
    if (hold)
        m_held << std::move(a);
    else
        a();
}

void ScriptedBackend::release() {
    const auto now = std::exchange(m_held, {});
    for (const auto &a : now)
        a();
}

void ScriptedBackend::entries(std::function<void(quint32 rc, const QStringList &names)> done) {
    answer([this, done] { done(entriesError, entriesError ? QStringList() : entryNames); });
}

void ScriptedBackend::connections(std::function<void(quint32 rc, const QList<Link> &)> done) {
    answer([this, done] { done(connectionsError, connectionsError ? QList<Link>() : links); });
}

void ScriptedBackend::dial(const QString &name, std::function<void(quint32, quint32)> done) {
    dials << name;
    if (onDial) onDial();
    quint32 rc = dialError;
    if (!rc && !entryNames.contains(name)) rc = raserr::CannotFindEntry;
    const quint32 handle = rc ? 0 : m_next++;
    answer([done, rc, handle] { done(rc, handle); });
}

void ScriptedBackend::reply(quint32 rc, qint32 state, quint32 error) {
    Status s;
    s.state = state;
    s.error = error;
    m_replies.append({rc, s});
}

void ScriptedBackend::status(quint32 handle, std::function<void(quint32, const Status &)> done) {
    statusFor << handle;
    // The last reply repeats until another is queued.
    if (!m_replies.isEmpty()) m_last = m_replies.takeFirst();
    answer([done, r = m_last] { done(r.rc, r.status); });
}

void ScriptedBackend::hangUp(quint32 handle) {
    hangUps << handle;
    if (onHangUp) onHangUp();
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

void FakeDialHost::startCheck() {
    ++checksStarted;
    pop3 = true;
    if (onStartCheck) onStartCheck();
}

void FakeDialHost::abortCheck() {
    ++checksAborted;
    pop3 = false;
    notice = false;
}

void FakeDialHost::linkFailed() {
    ++linkFailures;
    setStatus(QStringLiteral("ダイヤルアップ接続異常"));
    log(statusText);
}
