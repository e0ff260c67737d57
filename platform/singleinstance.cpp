#include "platform/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <unistd.h>

SingleInstance::SingleInstance(const QString &programDir, QObject *parent)
    : QObject(parent), m_dir(programDir) {
    const QByteArray key =
        QCryptographicHash::hash(QDir(programDir).absolutePath().toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    m_name = QStringLiteral("quilmon7400-%1-%2").arg(getuid()).arg(QString::fromLatin1(key));
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::acquire() {
    m_lock = std::make_unique<QLockFile>(QDir(m_dir).filePath(QStringLiteral("quil7400.lock")));
    // A lock left by a crash is taken over; a live owner's lock is never
    // stale, however old.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        const bool heldByAnother = m_lock->error() == QLockFile::LockFailedError;
        m_lock.reset();
        QLocalSocket peer;
        peer.connectToServer(m_name);
        const bool answered = peer.waitForConnected(500);
        if (answered) {
            peer.write("show\n");
            peer.waitForBytesWritten(500);
            peer.disconnectFromServer();
        }
        // A folder that is read-only or full takes no lock file: that is no
        // second copy, and ending silently would leave the user guessing.
        // The local socket, outside the folder, still tells a running copy.
        if (heldByAnother || answered) return false;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(m_name); // a socket left by a crash; we hold the lock
    if (m_server->listen(m_name)) {
        connect(m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *s = m_server->nextPendingConnection()) {
                connect(s, &QLocalSocket::readyRead, this, [this, s] {
                    if (s->readAll().startsWith("show")) emit showRequested();
                    s->disconnectFromServer();
                });
                connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    return true;
}

void SingleInstance::release() {
    if (m_server) m_server->close();
}
