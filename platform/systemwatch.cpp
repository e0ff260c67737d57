#include "platform/systemwatch.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace {
const QString Login = QStringLiteral("org.freedesktop.login1");
const QString Manager = QStringLiteral("org.freedesktop.NetworkManager");
const QString ManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString Props = QStringLiteral("org.freedesktop.DBus.Properties");

// NMState below CONNECTED_LOCAL (asleep, disconnected, disconnecting,
// connecting), and NMConnectivityState NONE.
constexpr uint ConnectedLocal = 50;
constexpr uint ConnectivityNone = 1;
} // namespace

SystemWatch::SystemWatch(std::function<QDBusConnection()> openBus, QObject *parent)
    : QObject(parent), m_openBus(std::move(openBus)) {}

void SystemWatch::start() {
    if (m_bus || !m_openBus) return;
    m_bus = m_openBus();
    if (!m_bus->isConnected()) return;
    m_bus->connect(Login, QStringLiteral("/org/freedesktop/login1"),
                   QStringLiteral("org.freedesktop.login1.Manager"),
                   QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    m_bus->connect(Manager, ManagerPath, Props, QStringLiteral("PropertiesChanged"), {Manager},
                   QString(), this, SLOT(managerChanged(QString, QVariantMap, QStringList)));
    // A NetworkManager started later is asked then; one that went says nothing more.
    auto *service =
        new QDBusServiceWatcher(Manager, *m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(service, &QDBusServiceWatcher::serviceRegistered, this, &SystemWatch::askManager);
    connect(service, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        apply({{QStringLiteral("State"), 0u}, {QStringLiteral("Connectivity"), 0u}});
    });
    askManager();
}

void SystemWatch::askManager() {
    QDBusMessage msg =
        QDBusMessage::createMethodCall(Manager, ManagerPath, Props, QStringLiteral("GetAll"));
    msg.setArguments({Manager});
    msg.setAutoStartService(false);
    auto *watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(msg, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QVariantMap> reply = *watcher;
        if (!reply.isError()) apply(reply.value());
    });
}

void SystemWatch::prepareForSleep(bool start) {
    if (start)
        emit sleeping();
    else
        emit woke();
}

void SystemWatch::managerChanged(const QString &interface, const QVariantMap &changed,
                                 const QStringList &) {
    if (interface == Manager) apply(changed);
}

void SystemWatch::apply(const QVariantMap &properties) {
    const auto state = properties.find(QStringLiteral("State"));
    if (state != properties.end()) m_state = state->toUInt();
    const auto connectivity = properties.find(QStringLiteral("Connectivity"));
    if (connectivity != properties.end()) m_connectivity = connectivity->toUInt();
    // A network that only reaches the local site still may carry the check.
    const bool down =
        (m_state != 0 && m_state < ConnectedLocal) || m_connectivity == ConnectivityNone;
    if (down == m_down) return;
    m_down = down;
    if (down)
        emit networkLost();
    else
        emit networkBack();
}
