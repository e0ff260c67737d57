#include "dialup/nmdialservice.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QTimer>
#include <algorithm>
#include <memory>

namespace {
const QString Service = QStringLiteral("org.freedesktop.NetworkManager");
const QString ManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString ManagerIface = QStringLiteral("org.freedesktop.NetworkManager");
const QString SettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString SettingsIface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString ProfileIface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString ActiveIface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString DeviceIface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString PropsIface = QStringLiteral("org.freedesktop.DBus.Properties");

// NMActiveConnectionState and NMDeviceState values used here.
constexpr uint ActiveActivating = 1;
constexpr uint ActiveActivated = 2;
constexpr uint ActiveDeactivating = 3;
constexpr uint ActiveDeactivated = 4;
constexpr uint DevicePrepare = 40;
constexpr uint DeviceConfig = 50;
constexpr uint DeviceNeedAuth = 60;
constexpr uint DeviceIpConfig = 70;
constexpr uint DeviceIpCheck = 80;
constexpr uint DeviceSecondaries = 90;
constexpr uint DeviceActivated = 100;
constexpr uint DeviceDeactivating = 110;
constexpr uint DeviceFailed = 120;

// Reply time-outs: a dial's activation request, and every other call.
constexpr int DialReplyMs = 2000;
constexpr int CallReplyMs = 1000;

using Outcome = DialService::Outcome;
using LinkStep = DialService::LinkStep;

bool isError(const QDBusMessage &m) {
    return m.type() != QDBusMessage::ReplyMessage;
}

// NetworkManager not on the bus, the bus gone, or no answer in time.
bool isAbsent(const QDBusMessage &m) {
    const QString n = m.errorName();
    return n == QDBusError::errorString(QDBusError::ServiceUnknown) ||
           n == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           n == QDBusError::errorString(QDBusError::Disconnected) ||
           n == QDBusError::errorString(QDBusError::NoReply) ||
           n == QDBusError::errorString(QDBusError::Timeout) ||
           n == QStringLiteral("org.freedesktop.DBus.Error.TimedOut") || n.isEmpty();
}

QStringList paths(const QVariant &v) {
    QStringList out;
    const auto list = qdbus_cast<QList<QDBusObjectPath>>(v);
    for (const QDBusObjectPath &p : list)
        out << p.path();
    return out;
}

QString objectPath(const QVariant &v) {
    return qdbus_cast<QDBusObjectPath>(v).path();
}

QVariant firstArg(const QDBusMessage &m) {
    return m.arguments().isEmpty() ? QVariant() : m.arguments().constFirst();
}

// connection.id of a GetSettings reply.
std::optional<QString> profileId(const QDBusMessage &settings) {
    const QDBusArgument arg = firstArg(settings).value<QDBusArgument>();
    if (arg.currentSignature() != QStringLiteral("a{sa{sv}}")) return std::nullopt;
    std::optional<QString> id;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString group;
        QVariantMap values;
        arg.beginMapEntry();
        arg >> group >> values;
        arg.endMapEntry();
        if (group == QStringLiteral("connection") && values.contains(QStringLiteral("id")))
            id = values.value(QStringLiteral("id")).toString();
    }
    arg.endMap();
    return id;
}

// Device progress as the steps the status line knows.
LinkStep progressStep(uint deviceState) {
    switch (deviceState) {
    case DevicePrepare:
        return LinkStep::PortOpened;
    case DeviceConfig:
        return LinkStep::ConnectingDevice;
    case DeviceNeedAuth:
        return LinkStep::Authenticated;
    case DeviceIpConfig:
        return LinkStep::LinkEstablished;
    case DeviceIpCheck:
    case DeviceSecondaries:
    case DeviceActivated:
        return LinkStep::Projected;
    default:
        return LinkStep::OpeningPort;
    }
}

Outcome failure(const QDBusMessage &m) {
    return isAbsent(m) ? Outcome::Absent : Outcome::Refused;
}
} // namespace

NmDialService::NmDialService(const QDBusConnection &bus, QObject *parent)
    : NmDialService([bus] { return bus; }, parent) {
    this->bus();
}

NmDialService::NmDialService(std::function<QDBusConnection()> openBus, QObject *parent)
    : QObject(parent), m_openBus(std::move(openBus)) {}

QDBusConnection &NmDialService::bus() {
    if (!m_bus) m_bus = m_openBus();
    return *m_bus;
}

// Watchers are children: a reply after the service has gone reaches nobody.
NmDialService::~NmDialService() = default;

QDBusPendingCallWatcher *NmDialService::send(QDBusMessage msg, int timeoutMs, Reply done) {
    // A stopped NetworkManager stays stopped.
    msg.setAutoStartService(false);
    if (!bus().isConnected()) {
        done(msg.createErrorReply(QDBusError::Disconnected, QStringLiteral("no bus")));
        return nullptr;
    }
    auto *watcher = new QDBusPendingCallWatcher(bus().asyncCall(msg, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        done(watcher->reply());
    });
    return watcher;
}

void NmDialService::call(const QString &path, const QString &iface, const QString &method,
                         const QVariantList &args, Reply done) {
    QDBusMessage msg = QDBusMessage::createMethodCall(Service, path, iface, method);
    msg.setArguments(args);
    send(msg, CallReplyMs, std::move(done));
}

void NmDialService::callEach(const QStringList &paths, const QString &iface, const QString &method,
                             const QVariantList &args,
                             std::function<void(const QList<QDBusMessage> &)> done) {
    if (paths.isEmpty()) {
        done({});
        return;
    }
    struct Gather {
        QList<QDBusMessage> replies;
        qsizetype left;
        std::function<void(const QList<QDBusMessage> &)> done;
    };
    auto g = std::make_shared<Gather>(
        Gather{QList<QDBusMessage>(paths.size()), paths.size(), std::move(done)});
    for (qsizetype i = 0; i < paths.size(); ++i) {
        call(paths[i], iface, method, args, [g, i](const QDBusMessage &reply) {
            g->replies[i] = reply;
            if (--g->left == 0) g->done(g->replies);
        });
    }
}

void NmDialService::profiles(std::function<void(Outcome, const QList<Profile> &)> done) {
    call(SettingsPath, SettingsIface, QStringLiteral("ListConnections"), {},
         [this, done](const QDBusMessage &list) {
             if (isError(list)) {
                 done(failure(list), {});
                 return;
             }
             const QStringList ps = paths(firstArg(list));
             callEach(ps, ProfileIface, QStringLiteral("GetSettings"), {},
                      [ps, done](const QList<QDBusMessage> &replies) {
                          QList<Profile> out;
                          for (qsizetype i = 0; i < ps.size(); ++i) {
                              if (isError(replies[i])) {
                                  if (!isAbsent(replies[i])) continue; // removed meanwhile
                                  done(Outcome::Absent, {});
                                  return;
                              }
                              if (const auto id = profileId(replies[i])) out.append({ps[i], *id});
                          }
                          done(Outcome::Done, out);
                      });
         });
}

void NmDialService::entries(std::function<void(Outcome, const QStringList &names)> done) {
    profiles([done](Outcome o, const QList<Profile> &ps) {
        if (o == Outcome::Absent) o = Outcome::Done; // no manager, no entries
        QStringList names;
        for (const Profile &p : ps)
            names << p.id;
        done(o, names);
    });
}

bool NmDialService::belongsTo(const QVariantMap &props, const Dialed &d) const {
    // Object paths are reused after a restart of NetworkManager: the same
    // path may name somebody else's connection by then.
    return objectPath(props.value(QStringLiteral("Connection"))) == d.profile &&
           props.value(QStringLiteral("Id")).toString() == d.name;
}

void NmDialService::connections(std::function<void(Outcome, const QStringList &entries)> done) {
    call(ManagerPath, PropsIface, QStringLiteral("Get"),
         {QVariant(ManagerIface), QVariant(QStringLiteral("ActiveConnections"))},
         [this, done](const QDBusMessage &reply) {
             if (isError(reply)) {
                 done(isAbsent(reply) ? Outcome::Done : Outcome::Refused, {});
                 return;
             }
             const QStringList active = paths(firstArg(reply).value<QDBusVariant>().variant());
             callEach(active, PropsIface, QStringLiteral("GetAll"), {QVariant(ActiveIface)},
                      [done](const QList<QDBusMessage> &replies) {
                          QStringList names;
                          for (const QDBusMessage &r : replies) {
                              if (isError(r)) continue; // gone meanwhile
                              const auto props = qdbus_cast<QVariantMap>(firstArg(r));
                              const uint state = props.value(QStringLiteral("State")).toUInt();
                              if (state == ActiveActivating || state == ActiveActivated)
                                  names << props.value(QStringLiteral("Id")).toString();
                          }
                          done(Outcome::Done, names);
                      });
         });
}

void NmDialService::dial(const QString &name, std::function<void(Outcome, quint32 link)> done) {
    profiles([this, name, done](Outcome o, const QList<Profile> &ps) {
        if (o != Outcome::Done) {
            done(o, 0);
            return;
        }
        // Names are not unique: the first one in the manager's order is dialed.
        const auto found =
            std::find_if(ps.cbegin(), ps.cend(), [&](const Profile &p) { return p.id == name; });
        if (found == ps.cend()) {
            done(Outcome::NoSuchEntry, 0);
            return;
        }
        activate(*found, done);
    });
}

void NmDialService::activate(const Profile &profile,
                             std::function<void(Outcome, quint32 link)> done) {
    QDBusMessage msg = QDBusMessage::createMethodCall(Service, ManagerPath, ManagerIface,
                                                      QStringLiteral("ActivateConnection"));
    const QDBusObjectPath none(QStringLiteral("/"));
    msg.setArguments({QVariant::fromValue(QDBusObjectPath(profile.path)), QVariant::fromValue(none),
                      QVariant::fromValue(none)});
    Dialed d;
    d.profile = profile.path;
    d.name = profile.id;
    // The caller hears within DialReplyMs; the reply is awaited for the bus's
    // own time-out, so that a link NetworkManager brings up late after all is
    // taken down again: nobody would watch it or ever hang it up.
    auto answered = std::make_shared<bool>(false);
    QDBusPendingCallWatcher *watcher =
        send(msg, -1, [this, d, done, answered](const QDBusMessage &reply) mutable {
            const bool late = std::exchange(*answered, true);
            if (isError(reply)) {
                if (!late) done(failure(reply), 0);
                return;
            }
            d.active = objectPath(firstArg(reply));
            const bool none = d.active.isEmpty() || d.active == QStringLiteral("/");
            if (late) {
                if (!none) deactivateIfOurs(d);
                return;
            }
            if (none) {
                done(Outcome::Refused, 0);
                return;
            }
            const quint32 handle = m_nextHandle++;
            if (m_nextHandle == 0) m_nextHandle = 1;
            m_dialed.insert(handle, d);
            done(Outcome::Done, handle);
        });
    if (!watcher) return;
    QTimer::singleShot(DialReplyMs, watcher, [done, answered] {
        if (!std::exchange(*answered, true)) done(Outcome::Absent, 0);
    });
}

void NmDialService::status(quint32 link, std::function<void(Outcome, LinkStep)> done) {
    const auto it = m_dialed.constFind(link);
    if (it == m_dialed.cend()) {
        done(Outcome::NoSuchLink, LinkStep::Ended);
        return;
    }
    call(it->active, PropsIface, QStringLiteral("GetAll"), {QVariant(ActiveIface)},
         [this, link, done](const QDBusMessage &reply) { activeStatus(link, reply, done); });
}

void NmDialService::activeStatus(quint32 link, const QDBusMessage &reply, const StatusDone &done) {
    // The handle may have been hung up while the question was out.
    const auto it = m_dialed.find(link);
    if (it == m_dialed.end()) {
        done(Outcome::NoSuchLink, LinkStep::Ended);
        return;
    }
    if (isError(reply)) {
        // NetworkManager removes an ended or failed activation at once.
        done(isAbsent(reply) ? Outcome::Absent : Outcome::Done, LinkStep::Ended);
        return;
    }
    const auto props = qdbus_cast<QVariantMap>(firstArg(reply));
    Dialed &d = *it;
    if (!belongsTo(props, d)) {
        done(Outcome::Done, LinkStep::Ended);
        return;
    }
    const QStringList devices = paths(props.value(QStringLiteral("Devices")));
    if (!devices.isEmpty()) d.devices = devices;

    const uint state = props.value(QStringLiteral("State")).toUInt();
    if (state == ActiveActivated || state == ActiveDeactivating || state == ActiveDeactivated) {
        done(Outcome::Done, state == ActiveActivated ? LinkStep::Connected : LinkStep::Ended);
        return;
    }
    if (d.devices.isEmpty()) {
        done(Outcome::Done, LinkStep::OpeningPort);
        return;
    }
    call(d.devices.constFirst(), PropsIface, QStringLiteral("Get"),
         {QVariant(DeviceIface), QVariant(QStringLiteral("State"))},
         [this, link, done](const QDBusMessage &dev) {
             if (!m_dialed.contains(link)) {
                 done(Outcome::NoSuchLink, LinkStep::Ended);
             } else if (isError(dev)) {
                 if (isAbsent(dev))
                     done(Outcome::Absent, LinkStep::Ended);
                 else
                     done(Outcome::Done, LinkStep::OpeningPort);
             } else {
                 const uint devState = firstArg(dev).value<QDBusVariant>().variant().toUInt();
                 const bool ending = devState == DeviceDeactivating || devState == DeviceFailed;
                 done(Outcome::Done, ending ? LinkStep::Ended : progressStep(devState));
             }
         });
}

void NmDialService::deactivateIfOurs(const Dialed &d) {
    call(d.active, PropsIface, QStringLiteral("GetAll"), {QVariant(ActiveIface)},
         [this, d](const QDBusMessage &reply) {
             if (isError(reply) || !belongsTo(qdbus_cast<QVariantMap>(firstArg(reply)), d)) return;
             call(ManagerPath, ManagerIface, QStringLiteral("DeactivateConnection"),
                  {QVariant::fromValue(QDBusObjectPath(d.active))}, [](const QDBusMessage &) {});
         });
}

void NmDialService::hangUp(quint32 link) {
    const auto it = m_dialed.constFind(link);
    if (it == m_dialed.cend()) return;
    const Dialed d = *it;
    m_dialed.erase(it);
    deactivateIfOurs(d);
}
