#include "dialup/nmbackend.h"

#include "platform/codepage.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QThread>
#include <array>

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

NmBackend::~NmBackend() = default;

QDBusMessage NmBackend::call(const QString &path, const QString &iface, const QString &method,
                             const QVariantList &args, int timeoutMs) {
    QDBusMessage msg = QDBusMessage::createMethodCall(Service, path, iface, method);
    msg.setArguments(args);
    // A stopped NetworkManager stays stopped.
    msg.setAutoStartService(false);
    if (!bus().isConnected())
        return msg.createErrorReply(QDBusError::Disconnected, QStringLiteral("no bus"));
    return bus().call(msg, QDBus::Block, timeoutMs < 0 ? callReplyMs : timeoutMs);
}

quint32 NmBackend::profiles(QList<Profile> &out) {
    const QDBusMessage list = call(SettingsPath, SettingsIface, QStringLiteral("ListConnections"));
    if (isError(list)) return isAbsent(list) ? raserr::ServiceAbsent : refusal(list);
    for (const QString &path : paths(firstArg(list))) {
        const QDBusMessage settings = call(path, ProfileIface, QStringLiteral("GetSettings"));
        if (isError(settings)) {
            if (isAbsent(settings)) return raserr::ServiceAbsent;
            continue; // removed meanwhile
        }
        const QDBusArgument arg = firstArg(settings).value<QDBusArgument>();
        if (arg.currentSignature() != QStringLiteral("a{sa{sv}}")) continue;
        QString id;
        bool haveId = false;
        arg.beginMap();
        while (!arg.atEnd()) {
            QString group;
            QVariantMap values;
            arg.beginMapEntry();
            arg >> group >> values;
            arg.endMapEntry();
            if (group == QStringLiteral("connection") && values.contains(QStringLiteral("id"))) {
                id = values.value(QStringLiteral("id")).toString();
                haveId = true;
            }
        }
        arg.endMap();
        if (haveId) out.append({path, id});
    }
    return 0;
}

quint32 NmBackend::entries(QStringList &names) {
    QList<Profile> ps;
    const quint32 rc = profiles(ps);
    if (rc == raserr::ServiceAbsent) return 0; // no manager, no entries
    if (rc) return rc;
    for (const Profile &p : ps)
        names << p.id;
    return 0;
}

quint32 NmBackend::findEntry(const QString &name) {
    QList<Profile> ps;
    if (const quint32 rc = profiles(ps)) return rc;
    for (const Profile &p : ps) {
        if (p.id == name && cp932::representable(p.id)) return 0;
    }
    return raserr::CannotFindEntry;
}

bool NmBackend::activeProps(const QString &path, QVariantMap &props, QDBusMessage *error) {
    const QDBusMessage reply =
        call(path, PropsIface, QStringLiteral("GetAll"), {QVariant(ActiveIface)});
    if (isError(reply)) {
        if (error) *error = reply;
        return false;
    }
    props = qdbus_cast<QVariantMap>(firstArg(reply));
    return true;
}

bool NmBackend::belongsTo(const QVariantMap &props, const Dialed &d) const {
    // Object paths are reused after a restart of NetworkManager: the same
    // path may name somebody else's connection by then.
    return objectPath(props.value(QStringLiteral("Connection"))) == d.profile &&
           props.value(QStringLiteral("Id")).toString() == d.name;
}

quint32 NmBackend::connections(QList<Link> &links) {
    const QDBusMessage reply =
        call(ManagerPath, PropsIface, QStringLiteral("Get"),
             {QVariant(ManagerIface), QVariant(QStringLiteral("ActiveConnections"))});
    if (isError(reply)) return isAbsent(reply) ? 0 : refusal(reply);
    const QVariant value = firstArg(reply).value<QDBusVariant>().variant();
    for (const QString &path : paths(value)) {
        QVariantMap props;
        if (!activeProps(path, props)) continue; // gone meanwhile
        const uint state = props.value(QStringLiteral("State")).toUInt();
        if (state != ActiveActivating && state != ActiveActivated) continue;
        Link link;
        link.entryName = props.value(QStringLiteral("Id")).toString();
        link.deviceType = props.value(QStringLiteral("Type")).toString();
        for (auto it = m_dialed.cbegin(); it != m_dialed.cend(); ++it) {
            if (it->active == path && belongsTo(props, *it)) link.handle = it.key();
        }
        links.append(link);
    }
    return 0;
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

quint32 NmBackend::dial(const QString &name, quint32 &handle) {
    handle = 0;
    QList<Profile> ps;
    if (const quint32 rc = profiles(ps)) return rc;
    const Profile *found = nullptr;
    for (const Profile &p : ps) {
        // Names are not unique: the first one in the manager's order is dialed.
        if (p.id == name && cp932::representable(p.id)) {
            found = &p;
            break;
        }
    }
    if (!found) return raserr::CannotFindEntry;

    m_unplacedDeviceReason = 0;
    if (!bus().isConnected()) return raserr::ServiceAbsent;
    const QDBusObjectPath none(QStringLiteral("/"));
    QDBusMessage msg = QDBusMessage::createMethodCall(Service, ManagerPath, ManagerIface,
                                                      QStringLiteral("ActivateConnection"));
    msg.setArguments({QVariant::fromValue(QDBusObjectPath(found->path)), QVariant::fromValue(none),
                      QVariant::fromValue(none)});
    msg.setAutoStartService(false);
    // The reply is awaited only briefly, without letting events run; the
    // activation itself goes on and is followed by status().
    QDBusPendingCall pending = bus().asyncCall(msg);
    QElapsedTimer waited;
    waited.start();
    while (!pending.isFinished() && waited.elapsed() < dialReplyMs)
        QThread::msleep(5);
    if (!pending.isFinished()) {
        // Should NetworkManager answer after all, take that link down again:
        // nobody would watch it or ever hang it up.
        Dialed late;
        late.profile = found->path;
        late.name = found->id;
        auto *watcher = new QDBusPendingCallWatcher(pending, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, late]() mutable {
            watcher->deleteLater();
            const QDBusMessage r = watcher->reply();
            if (isError(r)) return;
            late.active = objectPath(firstArg(r));
            deactivateIfOurs(late);
        });
        return raserr::ServiceAbsent;
    }
    const QDBusMessage reply = pending.reply();
    if (isError(reply)) return isAbsent(reply) ? raserr::ServiceAbsent : refusal(reply);
    const QString active = objectPath(firstArg(reply));
    if (active.isEmpty() || active == QStringLiteral("/")) return raserr::RefusalBase;

    handle = m_nextHandle++;
    if (m_nextHandle == 0) m_nextHandle = 1;
    Dialed d;
    d.active = active;
    d.profile = found->path;
    d.name = found->id;
    m_dialed.insert(handle, d);
    return 0;
}

quint32 NmBackend::endedError(const Dialed &d) const {
    if (d.deviceReason) return raserr::DeviceReasonBase + d.deviceReason;
    if (d.devices.isEmpty() && m_unplacedDeviceReason)
        return raserr::DeviceReasonBase + m_unplacedDeviceReason;
    return raserr::ActiveReasonBase + d.activeReason;
}

quint32 NmBackend::status(quint32 handle, Status &s) {
    auto it = m_dialed.find(handle);
    if (it == m_dialed.end()) return raserr::InvalidHandle;
    Dialed &d = *it;

    QVariantMap props;
    QDBusMessage error;
    if (!activeProps(d.active, props, &error)) {
        if (isAbsent(error)) return raserr::ServiceAbsent;
        // NetworkManager removes an ended or failed activation at once.
        s.state = rasstate::Disconnected;
        s.error = endedError(d);
        return 0;
    }
    if (!belongsTo(props, d)) {
        s.state = rasstate::Disconnected;
        s.error = endedError(d);
        return 0;
    }
    s.deviceType = props.value(QStringLiteral("Type")).toString();
    const QStringList devices = paths(props.value(QStringLiteral("Devices")));
    if (!devices.isEmpty()) d.devices = devices;

    const uint state = props.value(QStringLiteral("State")).toUInt();
    if (state == ActiveActivated) {
        s.state = rasstate::Connected;
        s.error = 0;
        return 0;
    }
    if (state == ActiveDeactivating || state == ActiveDeactivated) {
        s.state = rasstate::Disconnected;
        s.error = endedError(d);
        return 0;
    }
    s.state = rasstate::OpenPort;
    s.error = raserr::Pending;
    if (d.devices.isEmpty()) return 0;
    const QDBusMessage dev = call(d.devices.constFirst(), PropsIface, QStringLiteral("Get"),
                                  {QVariant(DeviceIface), QVariant(QStringLiteral("State"))});
    if (isError(dev)) return isAbsent(dev) ? raserr::ServiceAbsent : 0;
    const uint devState = firstArg(dev).value<QDBusVariant>().variant().toUInt();
    if (devState == DeviceDeactivating || devState == DeviceFailed) {
        s.state = rasstate::Disconnected;
        s.error = endedError(d);
        return 0;
    }
    s.state = progressState(devState);
    return 0;
}

void NmBackend::deactivateIfOurs(const Dialed &d) {
    QVariantMap props;
    if (!activeProps(d.active, props) || !belongsTo(props, d)) return;
    call(ManagerPath, ManagerIface, QStringLiteral("DeactivateConnection"),
         {QVariant::fromValue(QDBusObjectPath(d.active))});
}

quint32 NmBackend::hangUp(quint32 handle) {
    const auto it = m_dialed.constFind(handle);
    if (it == m_dialed.cend()) return raserr::InvalidHandle;
    const Dialed d = *it;
    m_dialed.erase(it);
    deactivateIfOurs(d);
    return 0;
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
