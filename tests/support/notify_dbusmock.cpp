#include "support/notify_dbusmock.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QThread>

namespace {
const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

NotifyDbusMock::~NotifyDbusMock() {
    if (m_daemon.state() == QProcess::NotRunning) return;
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(3000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }
}

bool NotifyDbusMock::startDaemon() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address());
    m_daemon.setProcessEnvironment(env);
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                    QStringLiteral("notification_daemon")});
    if (!m_daemon.waitForStarted(5000)) return false;
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (m_bus.bus().interface()->isServiceRegistered(Service)) return true;
        if (m_daemon.state() == QProcess::NotRunning) return false;
        QThread::msleep(50);
    }
    return false;
}

QList<QVariantList> NotifyDbusMock::notifyCalls() {
    QDBusMessage msg =
        QDBusMessage::createMethodCall(Service, Path, QStringLiteral("org.freedesktop.DBus.Mock"),
                                       QStringLiteral("GetMethodCalls"));
    msg.setArguments({QStringLiteral("Notify")});
    const QDBusMessage reply = m_bus.bus().call(msg, QDBus::Block, 10000);
    QList<QVariantList> out;
    if (reply.type() != QDBusMessage::ReplyMessage) return out;
    // a(tav): when, and the call's arguments.
    const QDBusArgument calls = reply.arguments().constFirst().value<QDBusArgument>();
    calls.beginArray();
    while (!calls.atEnd()) {
        calls.beginStructure();
        quint64 when = 0;
        calls >> when;
        QVariantList args;
        calls.beginArray();
        while (!calls.atEnd()) {
            QDBusVariant v;
            calls >> v;
            args << v.variant();
        }
        calls.endArray();
        calls.endStructure();
        out << args;
    }
    calls.endArray();
    return out;
}

bool NotifyDbusMock::emitActionInvoked(uint id, const QString &key) {
    QDBusMessage msg = QDBusMessage::createMethodCall(
        Service, Path, QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("EmitSignal"));
    msg.setArguments({Service, QStringLiteral("ActionInvoked"), QStringLiteral("us"),
                      QVariantList{QVariant(id), QVariant(key)}});
    return m_bus.bus().call(msg, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage;
}
