#pragma once
// The connection manager behind the dial-up layer, in entry names and link
// handles. Every call answers through its callback, which may run inside the
// call (an answer known at once) or later from the event loop; nothing here
// blocks.
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <functional>

class DialService {
  public:
    virtual ~DialService() = default;

    enum class Outcome {
        Done,
        Absent,      // the manager is not on the bus, or did not answer in time
        NoSuchEntry, // no entry of that name
        Refused,     // the manager refused the request
        NoSuchLink,  // a handle this service never gave, or hung up
    };
    // Where a dialed link stands: building up in these steps, then up or over.
    enum class LinkStep {
        OpeningPort,
        PortOpened,
        ConnectingDevice,
        Authenticated,
        LinkEstablished,
        Projected,
        Connected,
        Ended,
    };

    // Entry names in the service's order, exactly as it names them.
    virtual void entries(std::function<void(Outcome, const QStringList &names)> done) = 0;
    // The entry names of the connections being built or up, in the service's order.
    virtual void connections(std::function<void(Outcome, const QStringList &entries)> done) = 0;
    // Starts bringing the entry up; answers with the link's handle once the
    // service has accepted (or refused) the request.
    virtual void dial(const QString &name, std::function<void(Outcome, quint32 link)> done) = 0;
    virtual void status(quint32 link, std::function<void(Outcome, LinkStep)> done) = 0;
    // Takes down only what this handle dialed and forgets the handle at once;
    // the service is not waited for.
    virtual void hangUp(quint32 link) = 0;
};
