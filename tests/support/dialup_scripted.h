#pragma once
// A scripted dial service, so the link monitor can be driven tick by tick and
// every call it makes observed.
#include "dialup/dialservice.h"

#include <QList>
#include <QStringList>
#include <functional>

class ScriptedService : public DialService {
  public:
    void entries(std::function<void(Outcome, const QStringList &names)> done) override;
    void connections(std::function<void(Outcome, const QStringList &entries)> done) override;
    void dial(const QString &name, std::function<void(Outcome, quint32 link)> done) override;
    void status(quint32 link, std::function<void(Outcome, LinkStep)> done) override;
    void hangUp(quint32 link) override;

    // Queue one status answer; the last one repeats until another is queued.
    void reply(LinkStep step, Outcome outcome = Outcome::Done);
    // While `hold` is set, answers wait for release(), as from a slow service.
    bool hold = false;
    void release();

    QStringList entryNames;
    QStringList links;               // entries of the connections up
    Outcome listing = Outcome::Done; // how listing entries or connections goes
    Outcome dialing = Outcome::Done; // how a dial of a known entry goes
    QStringList dials;               // names dialed, accepted or not
    QList<quint32> hangUps;          // handles hung up
    QList<quint32> statusFor;        // handles asked about
    std::function<void()> onHangUp;

  private:
    void answer(std::function<void()> a);
    QList<std::function<void()>> m_held;
    QList<std::pair<Outcome, LinkStep>> m_replies;
    std::pair<Outcome, LinkStep> m_last{Outcome::NoSuchLink, LinkStep::Ended};
    quint32 m_next = 41;
};
