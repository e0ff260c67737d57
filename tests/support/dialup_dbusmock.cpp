#include "support/dialup_dbusmock.h"

#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QUuid>

namespace {
const QString Service = QStringLiteral("org.freedesktop.NetworkManager");

void stop(QProcess &p) {
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}
} // namespace

DialupDbusMock::DialupDbusMock()
    : m_connName(QStringLiteral("dialup-mock-") + QUuid::createUuid().toString(QUuid::Id128)) {}

DialupDbusMock::~DialupDbusMock() {
    QDBusConnection::disconnectFromBus(m_connName);
    stop(m_manager);
    stop(m_logind);
    stop(m_daemon);
}

bool DialupDbusMock::startBus() {
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly)) return false;
    // NetworkManager can be started by a call that allows it; the start
    // only leaves a mark (see managerWasStarted).
    QDir(m_dir.path()).mkdir(QStringLiteral("services"));
    QFile service(
        m_dir.filePath(QStringLiteral("services/org.freedesktop.NetworkManager.service")));
    if (!service.open(QIODevice::WriteOnly)) return false;
    service.write("[D-BUS Service]\nName=org.freedesktop.NetworkManager\nExec=/usr/bin/touch " +
                  m_dir.filePath(QStringLiteral("started")).toUtf8() + "\n");
    service.close();
    f.write(
        QByteArrayLiteral(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:dir=") +
        m_dir.path().toUtf8() +
        QByteArrayLiteral("</listen>\n"
                          "  <auth>EXTERNAL</auth>\n"
                          "  <servicedir>") +
        m_dir.filePath(QStringLiteral("services")).toUtf8() +
        QByteArrayLiteral("</servicedir>\n"
                          "  <policy context=\"default\">\n"
                          "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                          "    <allow eavesdrop=\"true\"/>\n"
                          "    <allow own=\"*\"/>\n"
                          "  </policy>\n"
                          "</busconfig>\n"));
    f.close();
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                    QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000)) return false;
    QDeadlineTimer deadline(5000);
    while (!m_daemon.canReadLine() && !deadline.hasExpired())
        m_daemon.waitForReadyRead(100);
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    if (m_address.isEmpty()) return false;
    return QDBusConnection::connectToBus(m_address, m_connName).isConnected();
}

QDBusConnection DialupDbusMock::bus() const {
    return QDBusConnection(m_connName);
}

bool DialupDbusMock::startManager() {
    return startTemplate(
        m_manager, QStringLiteral(QUIL_SOURCE_DIR "/tests/support/dialup_nmmock.py"), Service);
}

bool DialupDbusMock::startLogind() {
    return startTemplate(m_logind, QStringLiteral("logind"),
                         QStringLiteral("org.freedesktop.login1"));
}

bool DialupDbusMock::startTemplate(QProcess &p, const QString &name, const QString &service) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
             QStringLiteral("--template"), name});
    if (!p.waitForStarted(5000)) return false;
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (bus().interface()->isServiceRegistered(service)) return true;
        if (p.state() == QProcess::NotRunning) return false;
        QThread::msleep(50);
    }
    return false;
}

bool DialupDbusMock::prepareForSleep(bool start) {
    QDBusMessage msg = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("EmitSignal"));
    msg.setArguments({QStringLiteral("org.freedesktop.login1.Manager"),
                      QStringLiteral("PrepareForSleep"), QStringLiteral("b"),
                      QVariantList{QVariant(start)}});
    return bus().call(msg, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage;
}

void DialupDbusMock::stopManager() {
    stop(m_manager);
    QDeadlineTimer deadline(5000);
    while (bus().interface()->isServiceRegistered(Service) && !deadline.hasExpired())
        QThread::msleep(20);
}

QDBusMessage DialupDbusMock::control(const QString &method, const QVariantList &args) {
    QDBusMessage msg =
        QDBusMessage::createMethodCall(Service, QStringLiteral("/org/freedesktop"),
                                       QStringLiteral("org.freedesktop.DBus.Mock"), method);
    msg.setArguments(args);
    return bus().call(msg, QDBus::Block, 10000);
}

QString DialupDbusMock::activateAsOtherProgram(const QString &profilePath) {
    QDBusMessage msg =
        QDBusMessage::createMethodCall(Service, QStringLiteral("/org/freedesktop/NetworkManager"),
                                       Service, QStringLiteral("ActivateConnection"));
    const QDBusObjectPath none(QStringLiteral("/"));
    msg.setArguments({QVariant::fromValue(QDBusObjectPath(profilePath)), QVariant::fromValue(none),
                      QVariant::fromValue(none)});
    const QDBusMessage reply = bus().call(msg, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return qdbus_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
}

QStringList DialupDbusMock::activeConnections() {
    QDBusMessage msg = QDBusMessage::createMethodCall(
        Service, QStringLiteral("/org/freedesktop/NetworkManager"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    msg.setArguments({Service, QStringLiteral("ActiveConnections")});
    const QDBusMessage reply = bus().call(msg, QDBus::Block, 10000);
    QStringList out;
    if (reply.type() != QDBusMessage::ReplyMessage) return out;
    const QVariant v = reply.arguments().constFirst().value<QDBusVariant>().variant();
    for (const QDBusObjectPath &p : qdbus_cast<QList<QDBusObjectPath>>(v))
        out << p.path();
    return out;
}

bool DialupDbusMock::managerWasStarted() const {
    return QFile::exists(m_dir.filePath(QStringLiteral("started")));
}
