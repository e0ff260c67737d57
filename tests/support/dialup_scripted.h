#pragma once
// A scripted dial-up service and a DialHost without widgets, so the link
// monitor can be driven tick by tick and everything it does observed.
#include "app/sharedstate.h"
#include "dialup/dialhost.h"
#include "dialup/rasbackend.h"
#include "platform/seams.h"

#include <QElapsedTimer>
#include <QStringList>
#include <functional>

class ScriptedBackend : public RasBackend {
  public:
    quint32 entries(QStringList &names) override;
    quint32 connections(QList<Link> &links) override;
    quint32 findEntry(const QString &name) override;
    quint32 dial(const QString &name, quint32 &handle) override;
    quint32 status(quint32 handle, Status &status) override;
    quint32 hangUp(quint32 handle) override;

    // Queue one status reply: the call's result, then state and error.
    void reply(quint32 rc, qint32 state = 0, quint32 error = 0);

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
    QList<Reply> m_replies;
    Reply m_last{raserr::InvalidHandle, {}};
    quint32 m_next = 41;
};

class FakeDialHost : public DialHost {
  public:
    FakeDialHost();

    SharedState &state() override { return shared; }
    void setStatus(const QString &text) override;
    QString status() const override { return statusText; }
    void log(const QString &message) override { logLines << message; }
    bool form1Loaded() const override { return form1; }
    bool form3Loaded() const override { return form3; }
    void loadForm1() override;
    void unloadForm1() override;
    void unloadForm3() override;

    Seams seams;
    ScriptedBackend backend;
    SharedState shared;
    QString statusText;
    QStringList statusHistory;
    QStringList logLines;
    bool form1 = false;
    bool form3 = false;
    int form1Loads = 0;
    int form1Unloads = 0;
    int form3Unloads = 0;
    // What the check does when Form1 loads (default: it starts and runs).
    std::function<void()> onLoadForm1;
    std::function<void()> onSetStatus;
};
