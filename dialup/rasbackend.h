#pragma once
// The connection manager behind the RAS calls. The calls in rasapi.h deal
// with records, byte counts and code page 932; a backend deals in names and
// handles only. Every function returns 0 or an error number.
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace raserr {
inline constexpr quint32 InvalidHandle = 6;        // handle this program never dialed
inline constexpr quint32 InvalidParameter = 87;    // a null record or count
inline constexpr quint32 Pending = 600;            // link still being built
inline constexpr quint32 BufferTooSmall = 603;     // more records than the buffer holds
inline constexpr quint32 CannotFindEntry = 623;    // no entry of that name
inline constexpr quint32 InvalidSize = 632;        // dwSize of a record not the one we know
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

    // Entry names in the service's order.
    virtual quint32 entries(QStringList &names) = 0;
    // Connections that are being built or are up, in the service's order.
    virtual quint32 connections(QList<Link> &links) = 0;
    // 0 when an entry of exactly that name exists.
    virtual quint32 findEntry(const QString &name) = 0;
    // Starts bringing the entry up and returns at once with its handle.
    virtual quint32 dial(const QString &name, quint32 &handle) = 0;
    virtual quint32 status(quint32 handle, Status &status) = 0;
    // Takes down only what this handle dialed, and forgets the handle.
    virtual quint32 hangUp(quint32 handle) = 0;
};
