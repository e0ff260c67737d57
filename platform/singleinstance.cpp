#include "platform/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

SingleInstance::SingleInstance(const QString &programDir, QObject *parent)
    : QObject(parent), m_dir(programDir) {
    const QByteArray key =
        QCryptographicHash::hash(QDir(programDir).absolutePath().toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    m_name = QStringLiteral("quilmon7400-%1-%2").arg(getuid()).arg(QString::fromLatin1(key));
}

SingleInstance::~SingleInstance() {
    if (m_lockFd >= 0) ::close(m_lockFd);
}

bool SingleInstance::acquire() {
    // flock, not a lock file's contents: the kernel lets go of the lock
    // however the owner ends, so a crash leaves nothing stale behind.
    const QByteArray path =
        QFile::encodeName(QDir(m_dir).filePath(QStringLiteral("quil7400.lock")));
    m_lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) m_lockFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    bool heldByAnother = false;
    if (m_lockFd >= 0 && ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        heldByAnother = errno == EWOULDBLOCK;
        ::close(m_lockFd);
        m_lockFd = -1;
    }
    if (m_lockFd < 0) {
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
    return true;
}

void SingleInstance::listen() {
    if (m_server || m_released) return;
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
}

void SingleInstance::release() {
    m_released = true;
    if (m_server) m_server->close();
}
