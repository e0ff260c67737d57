#include "support/dialup_scripted.h"

#include <utility>

void ScriptedService::answer(std::function<void()> a) {
    if (hold)
        m_held << std::move(a);
    else
        a();
}

void ScriptedService::release() {
    const auto now = std::exchange(m_held, {});
    for (const auto &a : now)
        a();
}

void ScriptedService::entries(std::function<void(Outcome, const QStringList &)> done) {
    answer([this, done] { done(listing, listing == Outcome::Done ? entryNames : QStringList()); });
}

void ScriptedService::connections(std::function<void(Outcome, const QStringList &)> done) {
    answer([this, done] { done(listing, listing == Outcome::Done ? links : QStringList()); });
}

void ScriptedService::dial(const QString &name, std::function<void(Outcome, quint32)> done) {
    dials << name;
    const Outcome o = entryNames.contains(name) ? dialing : Outcome::NoSuchEntry;
    const quint32 link = o == Outcome::Done ? m_next++ : 0;
    answer([done, o, link] { done(o, link); });
}

void ScriptedService::reply(LinkStep step, Outcome outcome) {
    m_replies.append({outcome, step});
}

void ScriptedService::status(quint32 link, std::function<void(Outcome, LinkStep)> done) {
    statusFor << link;
    if (!m_replies.isEmpty()) m_last = m_replies.takeFirst();
    answer([done, r = m_last] { done(r.first, r.second); });
}

void ScriptedService::hangUp(quint32 link) {
    hangUps << link;
    if (onHangUp) onHangUp();
}
