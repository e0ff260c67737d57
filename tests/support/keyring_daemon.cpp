#include "support/keyring_daemon.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

namespace {
const QString Secrets = QStringLiteral("org.freedesktop.secrets");
const QString BusName = QStringLiteral("keyring-daemon-fixture");

void stopProcess(QProcess &p) {
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
} // namespace

KeyringDaemon::KeyringDaemon() = default;

KeyringDaemon::~KeyringDaemon() {
    QDBusConnection::disconnectFromBus(BusName);
    stopProcess(m_keyring);
    stopProcess(m_bus);
}

bool KeyringDaemon::startBus() {
    QDir d(m_dir.path());
    for (const char *sub : {"home", "data", "config", "run", "services"})
        if (!d.mkpath(QLatin1String(sub))) return false;
    QFile::setPermissions(d.filePath(QStringLiteral("run")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // A Secret Service asked for while none runs leaves a mark and fails at
    // once (a start that only exits would keep the caller for 25 s).
    if (!writeFile(d.filePath(QStringLiteral("services/secrets.service")),
                   "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/sh -c \"touch " +
                       d.filePath(QStringLiteral("activated")).toUtf8() + "; exit 1\"\n"))
        return false;
    const QString config = d.filePath(QStringLiteral("bus.conf"));
    if (!writeFile(config,
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig><type>session</type><listen>unix:dir=" +
                       m_dir.path().toUtf8() + "</listen><auth>EXTERNAL</auth><servicedir>" +
                       d.filePath(QStringLiteral("services")).toUtf8() +
                       "</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
                       "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                       "</policy></busconfig>\n"))
        return false;
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                 QStringLiteral("--print-address=1")});
    if (!m_bus.waitForStarted(5000)) return false;
    QDeadlineTimer deadline(5000);
    while (!m_bus.canReadLine() && !deadline.hasExpired())
        m_bus.waitForReadyRead(100);
    m_address = QString::fromUtf8(m_bus.readLine().trimmed());
    if (m_address.isEmpty()) return false;
    const QProcessEnvironment e = env();
    for (const QString &key : e.keys())
        qputenv(key.toUtf8().constData(), e.value(key).toUtf8());
    return QDBusConnection::connectToBus(m_address, BusName).isConnected();
}

QProcessEnvironment KeyringDaemon::env() const {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    e.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
    e.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("data")));
    e.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    e.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
    // QtKeychain picks libsecret on this desktop.
    e.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    return e;
}

bool KeyringDaemon::start(bool unlocked) {
    m_keyring.setProcessEnvironment(env());
    m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{QStringLiteral("--components=secrets"), QStringLiteral("--foreground")};
    if (unlocked) args.prepend(QStringLiteral("--unlock"));
    m_keyring.start(QStringLiteral("gnome-keyring-daemon"), args);
    if (!m_keyring.waitForStarted(5000)) return false;
    if (unlocked) m_keyring.write("keyring-password");
    m_keyring.closeWriteChannel();
    m_keyring.waitForBytesWritten(5000); // QProcess writes from the event loop otherwise
    QDBusConnection bus(BusName);
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (bus.interface()->isServiceRegistered(Secrets)) return true;
        if (m_keyring.state() == QProcess::NotRunning) return false;
        QThread::msleep(50);
    }
    qWarning("gnome-keyring-daemon did not come up (running: %d)",
             m_keyring.state() == QProcess::Running);
    return false;
}

void KeyringDaemon::stop() {
    stopProcess(m_keyring);
    QDBusConnection bus(BusName);
    QDeadlineTimer deadline(5000);
    while (bus.interface()->isServiceRegistered(Secrets) && !deadline.hasExpired())
        QThread::msleep(20);
}

QString KeyringDaemon::lookup(const QString &key, bool *found) {
    QProcess tool;
    tool.setProcessEnvironment(env());
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("lookup"), QStringLiteral("server"), QStringLiteral("quilmon7400"),
                QStringLiteral("user"), key});
    tool.waitForFinished(10000);
    if (found) *found = tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    return QString::fromUtf8(tool.readAllStandardOutput());
}

bool KeyringDaemon::activationTried() const {
    return QFile::exists(m_dir.filePath(QStringLiteral("activated")));
}

void KeyringDaemon::forgetActivation() {
    QFile::remove(m_dir.filePath(QStringLiteral("activated")));
}
