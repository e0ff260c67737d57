#include "support/smtp_scriptedserver.h"

#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <QTest>

void SmtpScriptedServer::Listener::incomingConnection(qintptr fd) {
    QTcpSocket *s = tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (s->setSocketDescriptor(fd))
        addPendingConnection(s);
    else
        delete s;
}

SmtpScriptedServer::SmtpScriptedServer() {
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server.nextPendingConnection()) {
            ++connections;
            s->setParent(this);
            if (client) continue; // only the first one is played
            client = s;
            connect(s, &QTcpSocket::readyRead, this, [this, s] { received += s->readAll(); });
        }
    });
}

bool SmtpScriptedServer::waitForClient(int ms) {
    return QTest::qWaitFor([this] { return !client.isNull(); }, ms);
}

void SmtpScriptedServer::send(const QByteArray &bytes) {
    if (!client) return;
    client->write(bytes);
    client->flush();
}

void SmtpScriptedServer::closeClient() {
    if (client) client->close();
}

bool SmtpScriptedServer::waitForReceived(const QByteArray &expected, int ms) {
    (void)QTest::qWaitFor([&] { return received.size() >= expected.size(); }, ms);
    return received == expected;
}

bool SmtpScriptedServer::startTls(const QString &certFile, const QString &keyFile) {
    auto *s = qobject_cast<QSslSocket *>(client.data());
    QFile key(keyFile);
    if (!s || !key.open(QIODevice::ReadOnly)) return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certFile);
    if (chain.isEmpty()) return false;
    s->setLocalCertificate(chain.first());
    s->setPrivateKey(QSslKey(&key, QSsl::Ec));
    s->startServerEncryption();
    return true;
}
