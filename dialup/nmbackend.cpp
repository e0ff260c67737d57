#include "dialup/nmbackend.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QTimer>
#include <algorithm>
#include <array>
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

// Device progress as the connection states the status line knows.
qint32 progressState(uint deviceState) {
    switch (deviceState) {
    case DevicePrepare:
        return rasstate::PortOpened;
    case DeviceConfig:
        return rasstate::ConnectDevice;
    case DeviceNeedAuth:
        return rasstate::Authenticate;
    case DeviceIpConfig:
        return rasstate::AllDevicesConnected;
    case DeviceIpCheck:
    case DeviceSecondaries:
    case DeviceActivated:
        return rasstate::Projected;
    default:
        return rasstate::OpenPort;
    }
}
} // namespace

NmBackend::NmBackend(const QDBusConnection &bus, QObject *parent)
    : NmBackend([bus] { return bus; }, parent) {
    this->bus();
}

NmBackend::NmBackend(std::function<QDBusConnection()> openBus, QObject *parent)
    : QObject(parent), m_openBus(std::move(openBus)) {}

QDBusConnection &NmBackend::bus() {
    if (!m_bus) {
        m_bus = m_openBus();
        // Failure reasons exist only in these signals: listen before any dial.
        m_bus->connect(Service, QString(), DeviceIface, QStringLiteral("StateChanged"), this,
                       SLOT(onDeviceStateChanged(uint, uint, uint, QDBusMessage)));
        m_bus->connect(Service, QString(), ActiveIface, QStringLiteral("StateChanged"), this,
                       SLOT(onActiveStateChanged(uint, uint, QDBusMessage)));
    }
    return *m_bus;
}

// Watchers are children: a reply after the backend has gone reaches nobody.
NmBackend::~NmBackend() = default;

QDBusPendingCallWatcher *NmBackend::send(QDBusMessage msg, int timeoutMs, Reply done) {
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

void NmBackend::call(const QString &path, const QString &iface, const QString &method,
                     const QVariantList &args, Reply done) {
    QDBusMessage msg = QDBusMessage::createMethodCall(Service, path, iface, method);
    msg.setArguments(args);
    send(msg, callReplyMs, std::move(done));
}

void NmBackend::callEach(const QStringList &paths, const QString &iface, const QString &method,
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

void NmBackend::profiles(std::function<void(quint32 rc, const QList<Profile> &)> done) {
    call(SettingsPath, SettingsIface, QStringLiteral("ListConnections"), {},
         [this, done](const QDBusMessage &list) {
             if (isError(list)) {
                 done(isAbsent(list) ? raserr::ServiceAbsent : refusal(list), {});
                 return;
             }
             const QStringList ps = paths(firstArg(list));
             callEach(ps, ProfileIface, QStringLiteral("GetSettings"), {},
                      [ps, done](const QList<QDBusMessage> &replies) {
                          QList<Profile> out;
                          for (qsizetype i = 0; i < ps.size(); ++i) {
                              if (isError(replies[i])) {
                                  if (!isAbsent(replies[i])) continue; // removed meanwhile
                                  done(raserr::ServiceAbsent, {});
                                  return;
                              }
                              if (const auto id = profileId(replies[i])) out.append({ps[i], *id});
                          }
                          done(0, out);
                      });
         });
}

void NmBackend::entries(std::function<void(quint32 rc, const QStringList &names)> done) {
    profiles([done](quint32 rc, const QList<Profile> &ps) {
        if (rc == raserr::ServiceAbsent) rc = 0; // no manager, no entries
        QStringList names;
        if (rc == 0) {
            for (const Profile &p : ps)
                names << p.id;
        }
        done(rc, names);
    });
}

bool NmBackend::belongsTo(const QVariantMap &props, const Dialed &d) const {
    // Object paths are reused after a restart of NetworkManager: the same
    // path may name somebody else's connection by then.
    return objectPath(props.value(QStringLiteral("Connection"))) == d.profile &&
           props.value(QStringLiteral("Id")).toString() == d.name;
}

void NmBackend::connections(std::function<void(quint32 rc, const QList<Link> &links)> done) {
    call(ManagerPath, PropsIface, QStringLiteral("Get"),
         {QVariant(ManagerIface), QVariant(QStringLiteral("ActiveConnections"))},
         [this, done](const QDBusMessage &reply) {
             if (isError(reply)) {
                 done(isAbsent(reply) ? 0 : refusal(reply), {});
                 return;
             }
             const QStringList active = paths(firstArg(reply).value<QDBusVariant>().variant());
             callEach(active, PropsIface, QStringLiteral("GetAll"), {QVariant(ActiveIface)},
                      [this, active, done](const QList<QDBusMessage> &replies) {
                          QList<Link> links;
                          for (qsizetype i = 0; i < active.size(); ++i) {
                              if (isError(replies[i])) continue; // gone meanwhile
                              const auto props = qdbus_cast<QVariantMap>(firstArg(replies[i]));
                              const uint state = props.value(QStringLiteral("State")).toUInt();
                              if (state != ActiveActivating && state != ActiveActivated) continue;
                              Link link;
                              link.entryName = props.value(QStringLiteral("Id")).toString();
                              link.deviceType = props.value(QStringLiteral("Type")).toString();
                              for (auto it = m_dialed.cbegin(); it != m_dialed.cend(); ++it) {
                                  if (it->active == active[i] && belongsTo(props, *it))
                                      link.handle = it.key();
                              }
                              links.append(link);
                          }
                          done(0, links);
                      });
         });
}

quint32 NmBackend::refusal(const QDBusMessage &error) const {
    static const std::array<const char *, 14> codes = {"Failed",
                                                       "PermissionDenied",
                                                       "UnknownConnection",
                                                       "UnknownDevice",
                                                       "ConnectionNotAvailable",
                                                       "ConnectionNotActive",
                                                       "ConnectionAlreadyActive",
                                                       "DependencyFailed",
                                                       "AlreadyAsleepOrAwake",
                                                       "AlreadyEnabledOrDisabled",
                                                       "UnknownLogLevel",
                                                       "UnknownLogDomain",
                                                       "InvalidArguments",
                                                       "MissingPlugin"};
    const QString name = error.errorName();
    if (name == QDBusError::errorString(QDBusError::AccessDenied)) return raserr::RefusalBase + 1;
    const QString prefix = ManagerIface + QLatin1Char('.');
    if (name.startsWith(prefix)) {
        const QString code = name.mid(prefix.size());
        for (std::size_t i = 0; i < codes.size(); ++i) {
            if (code == QLatin1String(codes[i])) return raserr::RefusalBase + quint32(i);
        }
    }
    return raserr::RefusalBase;
}

void NmBackend::dial(const QString &name, std::function<void(quint32 rc, quint32 handle)> done) {
    profiles([this, name, done](quint32 rc, const QList<Profile> &ps) {
        if (rc) {
            done(rc, 0);
            return;
        }
        // Names are not unique: the first one in the manager's order is dialed.
        const auto found =
            std::find_if(ps.cbegin(), ps.cend(), [&](const Profile &p) { return p.id == name; });
        if (found == ps.cend()) {
            done(raserr::CannotFindEntry, 0);
            return;
        }
        activate(*found, done);
    });
}

void NmBackend::activate(const Profile &profile,
                         std::function<void(quint32 rc, quint32 handle)> done) {
    m_unplacedDeviceReason = 0;
    QDBusMessage msg = QDBusMessage::createMethodCall(Service, ManagerPath, ManagerIface,
                                                      QStringLiteral("ActivateConnection"));
    const QDBusObjectPath none(QStringLiteral("/"));
    msg.setArguments({QVariant::fromValue(QDBusObjectPath(profile.path)), QVariant::fromValue(none),
                      QVariant::fromValue(none)});
    Dialed d;
    d.profile = profile.path;
    d.name = profile.id;
    // The caller hears within dialReplyMs; the reply is awaited for the bus's
    // own time-out, so that a link NetworkManager brings up late after all is
    // taken down again: nobody would watch it or ever hang it up.
    auto answered = std::make_shared<bool>(false);
    QDBusPendingCallWatcher *watcher =
        send(msg, -1, [this, d, done, answered](const QDBusMessage &reply) mutable {
            const bool late = std::exchange(*answered, true);
            if (isError(reply)) {
                if (!late) done(isAbsent(reply) ? raserr::ServiceAbsent : refusal(reply), 0);
                return;
            }
            d.active = objectPath(firstArg(reply));
            const bool none = d.active.isEmpty() || d.active == QStringLiteral("/");
            if (late) {
                if (!none) deactivateIfOurs(d);
                return;
            }
            if (none) {
                done(raserr::RefusalBase, 0);
                return;
            }
            const quint32 handle = m_nextHandle++;
            if (m_nextHandle == 0) m_nextHandle = 1;
            m_dialed.insert(handle, d);
            done(0, handle);
        });
    if (!watcher) return;
    QTimer::singleShot(dialReplyMs, watcher, [done, answered] {
        if (!std::exchange(*answered, true)) done(raserr::ServiceAbsent, 0);
    });
}

quint32 NmBackend::endedError(const Dialed &d) const {
    if (d.deviceReason) return raserr::DeviceReasonBase + d.deviceReason;
    if (d.devices.isEmpty() && m_unplacedDeviceReason)
        return raserr::DeviceReasonBase + m_unplacedDeviceReason;
    return raserr::ActiveReasonBase + d.activeReason;
}

void NmBackend::status(quint32 handle, std::function<void(quint32 rc, const Status &)> done) {
    const auto it = m_dialed.constFind(handle);
    if (it == m_dialed.cend()) {
        done(raserr::InvalidHandle, {});
        return;
    }
    call(it->active, PropsIface, QStringLiteral("GetAll"), {QVariant(ActiveIface)},
         [this, handle, done](const QDBusMessage &reply) { activeStatus(handle, reply, done); });
}

void NmBackend::activeStatus(quint32 handle, const QDBusMessage &reply,
                             const std::function<void(quint32 rc, const Status &)> &done) {
    // The handle may have been hung up while the question was out.
    const auto it = m_dialed.find(handle);
    if (it == m_dialed.end()) {
        done(raserr::InvalidHandle, {});
        return;
    }
    Dialed &d = *it;
    Status s;
    s.state = rasstate::Disconnected;
    if (isError(reply)) {
        if (isAbsent(reply)) {
            done(raserr::ServiceAbsent, {});
            return;
        }
        // NetworkManager removes an ended or failed activation at once.
        s.error = endedError(d);
        done(0, s);
        return;
    }
    const auto props = qdbus_cast<QVariantMap>(firstArg(reply));
    if (!belongsTo(props, d)) {
        s.error = endedError(d);
        done(0, s);
        return;
    }
    s.deviceType = props.value(QStringLiteral("Type")).toString();
    const QStringList devices = paths(props.value(QStringLiteral("Devices")));
    if (!devices.isEmpty()) d.devices = devices;

    const uint state = props.value(QStringLiteral("State")).toUInt();
    if (state == ActiveActivated) {
        s.state = rasstate::Connected;
        s.error = 0;
        done(0, s);
        return;
    }
    if (state == ActiveDeactivating || state == ActiveDeactivated) {
        s.error = endedError(d);
        done(0, s);
        return;
    }
    s.state = rasstate::OpenPort;
    s.error = raserr::Pending;
    if (d.devices.isEmpty()) {
        done(0, s);
        return;
    }
    call(d.devices.constFirst(), PropsIface, QStringLiteral("Get"),
         {QVariant(DeviceIface), QVariant(QStringLiteral("State"))},
         [this, handle, s, done](const QDBusMessage &dev) mutable {
             const auto it = m_dialed.constFind(handle);
             if (it == m_dialed.cend()) {
                 done(raserr::InvalidHandle, {});
                 return;
             }
             if (isError(dev)) {
                 if (isAbsent(dev))
                     done(raserr::ServiceAbsent, {});
                 else
                     done(0, s);
                 return;
             }
             const uint devState = firstArg(dev).value<QDBusVariant>().variant().toUInt();
             if (devState == DeviceDeactivating || devState == DeviceFailed) {
                 s.state = rasstate::Disconnected;
                 s.error = endedError(*it);
             } else {
                 s.state = progressState(devState);
             }
             done(0, s);
         });
}

void NmBackend::deactivateIfOurs(const Dialed &d) {
    call(d.active, PropsIface, QStringLiteral("GetAll"), {QVariant(ActiveIface)},
         [this, d](const QDBusMessage &reply) {
             if (isError(reply) || !belongsTo(qdbus_cast<QVariantMap>(firstArg(reply)), d)) return;
             call(ManagerPath, ManagerIface, QStringLiteral("DeactivateConnection"),
                  {QVariant::fromValue(QDBusObjectPath(d.active))}, [](const QDBusMessage &) {});
         });
}

void NmBackend::hangUp(quint32 handle) {
    const auto it = m_dialed.constFind(handle);
    if (it == m_dialed.cend()) return;
    const Dialed d = *it;
    m_dialed.erase(it);
    deactivateIfOurs(d);
}

void NmBackend::onDeviceStateChanged(uint newState, uint, uint reason, const QDBusMessage &msg) {
    const bool failing = newState == DeviceFailed || (newState == DeviceDeactivating && reason);
    if (!failing) return;
    bool placed = false;
    bool anyUnplaced = false;
    for (Dialed &d : m_dialed) {
        if (d.devices.contains(msg.path())) {
            if (!d.deviceReason) d.deviceReason = reason;
            placed = true;
        } else if (d.devices.isEmpty()) {
            anyUnplaced = true;
        }
    }
    if (!placed && anyUnplaced && !m_unplacedDeviceReason) m_unplacedDeviceReason = reason;
}

void NmBackend::onActiveStateChanged(uint state, uint reason, const QDBusMessage &msg) {
    if (state != ActiveDeactivating && state != ActiveDeactivated) return;
    for (Dialed &d : m_dialed) {
        if (d.active == msg.path() && !d.activeReason) d.activeReason = reason;
    }
}
