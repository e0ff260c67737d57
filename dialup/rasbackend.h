#pragma once
// The connection manager behind the dial-up layer, in names and handles.
// Every call answers through its callback, which may run inside the call (an
// answer known at once) or later from the event loop; nothing here blocks.
// Error numbers keep clear of 600 (pending) and 0 (done): they reach the log.
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <functional>

namespace raserr {
inline constexpr quint32 InvalidHandle = 6;        // handle this program never dialed
inline constexpr quint32 Pending = 600;            // link still being built
inline constexpr quint32 CannotFindEntry = 623;    // no entry of that name
inline constexpr quint32 ServiceAbsent = 711;      // connection manager not on the bus / silent
inline constexpr quint32 DeviceReasonBase = 20000; // + the device's failure reason
inline constexpr quint32 ActiveReasonBase = 21000; // + the active connection's reason
inline constexpr quint32 RefusalBase = 22000;      // + the manager's refusal code
} // namespace raserr

// State numbers the status line knows (the rest live in tasktry.cpp).
namespace rasstate {
inline constexpr qint32 OpenPort = 0;
inline constexpr qint32 PortOpened = 1;
inline constexpr qint32 ConnectDevice = 2;
inline constexpr qint32 AllDevicesConnected = 4;
inline constexpr qint32 Authenticate = 5;
inline constexpr qint32 Projected = 18;
inline constexpr qint32 Connected = 8192;
inline constexpr qint32 Disconnected = 8193;
} // namespace rasstate

class RasBackend {
  public:
    virtual ~RasBackend() = default;

    struct Link {
        quint32 handle = 0; // 0 for a connection this program did not dial
        QString entryName;
        QString deviceType;
        QString deviceName;
    };
    struct Status {
        qint32 state = 0;
        quint32 error = 0; // 600 in progress, 0 connected, anything else: ended
        QString deviceType;
        QString deviceName;
    };

    // Entry names in the service's order, exactly as it names them.
    virtual void entries(std::function<void(quint32 rc, const QStringList &names)> done) = 0;
    // Connections that are being built or are up, in the service's order.
    virtual void connections(std::function<void(quint32 rc, const QList<Link> &links)> done) = 0;
    // Starts bringing the entry up; answers with its handle once the service
    // has accepted (or refused) the request.
    virtual void dial(const QString &name,
                      std::function<void(quint32 rc, quint32 handle)> done) = 0;
    virtual void status(quint32 handle, std::function<void(quint32 rc, const Status &)> done) = 0;
    // Takes down only what this handle dialed and forgets the handle at once;
    // the service is not waited for.
    virtual void hangUp(quint32 handle) = 0;
};
