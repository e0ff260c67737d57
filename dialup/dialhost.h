#pragma once
// What the link monitor asks of the check that runs over its link. The check
// layer implements it; the dial-up layer knows nothing else of the program.
#include <QString>

class DialHost {
  public:
    virtual ~DialHost() = default;

    // The status line and the log.
    virtual void setStatus(const QString &text) = 0;
    virtual void log(const QString &message) = 0;

    // The POP3 session or the notice of a check is under way.
    virtual bool pop3Running() const = 0;
    virtual bool noticeRunning() const = 0;
    // The link is up: start the POP3 session over it (once per connection).
    virtual void startCheck() = 0;
    // The link broke while the check ran: end its sessions at once and
    // silently; a notice not confirmed by its server is sent again next time.
    virtual void abortCheck() = 0;
    // The link failed; its wait is over: report and count the failure.
    virtual void linkFailed() = 0;
    // The service refused a scheduled dial.
    virtual void dialRefused() = 0;
};
