#pragma once
// A scripted dial-up service and a DialHost without widgets, so the link
// monitor can be driven tick by tick and everything it does observed.
#include "dialup/dialhost.h"
#include "dialup/rasbackend.h"
#include "platform/seams.h"

#include <QStringList>
#include <functional>

class ScriptedBackend : public RasBackend {
  public:
    void entries(std::function<void(quint32 rc, const QStringList &names)> done) override;
    void connections(std::function<void(quint32 rc, const QList<Link> &links)> done) override;
    void dial(const QString &name, std::function<void(quint32 rc, quint32 handle)> done) override;
    void status(quint32 handle, std::function<void(quint32 rc, const Status &)> done) override;
    void hangUp(quint32 handle) override;

    // Queue one status reply: the call's result, then state and error.
    void reply(quint32 rc, qint32 state = 0, quint32 error = 0);
    // While `hold` is set, answers wait for release(), as from a slow service.
    bool hold = false;
    void release();

    QStringList entryNames;
    quint32 entriesError = 0;
    QList<Link> links;
    quint32 connectionsError = 0;
    quint32 dialError = 0;
    QStringList dials;        // names dialed, accepted or not
    QList<quint32> hangUps;   // handles hung up
    QList<quint32> statusFor; // handles asked about
    std::function<void()> onHangUp;
    std::function<void()> onDial;

  private:
    struct Reply {
        quint32 rc;
        Status status;
    };
    void answer(std::function<void()> a);
    QList<std::function<void()>> m_held;
    QList<Reply> m_replies;
    Reply m_last{raserr::InvalidHandle, {}};
    quint32 m_next = 41;
};

class FakeDialHost : public DialHost {
  public:
    FakeDialHost();

    void setStatus(const QString &text) override;
    void log(const QString &message) override { logLines << message; }
    bool pop3Running() const override { return pop3; }
    bool noticeRunning() const override { return notice; }
    void startCheck() override;
    void abortCheck() override;
    // As the check does it: the status line, its log line, one retry more.
    void linkFailed() override;
    void dialRefused() override { ++dialRefusals; }

    Seams seams;
    ScriptedBackend backend;
    QString statusText;
    QStringList statusHistory;
    QStringList logLines;
    bool pop3 = false;
    bool notice = false;
    int checksStarted = 0;
    int checksAborted = 0;
    int linkFailures = 0;
    int dialRefusals = 0;
    // What the check does when it starts (default: POP3 runs).
    std::function<void()> onStartCheck;
    std::function<void()> onSetStatus;
};
