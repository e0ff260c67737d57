#include "support/autoservers.h"

#include <QTcpSocket>

AutoPop3Server::AutoPop3Server() {
    m_server.listen(QHostAddress::LocalHost);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *peer = m_server.nextPendingConnection()) {
            ++sessions;
            if (silent) continue; // accepted, never answered
            auto *buffer = new QByteArray;
            connect(peer, &QTcpSocket::readyRead, peer, [this, peer, buffer] {
                *buffer += peer->readAll();
                qsizetype end;
                while ((end = buffer->indexOf("\r\n")) >= 0) {
                    const QByteArray line = buffer->left(end);
                    buffer->remove(0, end + 2);
                    answer(peer, line);
                }
            });
            connect(peer, &QTcpSocket::disconnected, peer, [peer, buffer] {
                delete buffer;
                peer->deleteLater();
            });
            peer->write("+OK ready\r\n");
        }
    });
}

void AutoPop3Server::answer(QTcpSocket *peer, const QByteArray &line) {
    QByteArray reply;
    if (line.startsWith("USER ") || line.startsWith("PASS ")) {
        reply = "+OK\r\n";
    } else if (line.startsWith("LIST")) {
        reply = "+OK " + QByteArray::number(uids.size()) + " messages\r\n";
        if (!uids.isEmpty()) {
            for (int i = 0; i < uids.size(); ++i)
                reply += QByteArray::number(i + 1) + " 100\r\n";
            reply += ".\r\n";
        }
    } else if (line.startsWith("UIDL")) {
        reply = "+OK\r\n";
        for (int i = 0; i < uids.size(); ++i)
            reply += QByteArray::number(i + 1) + ' ' + uids[i] + "\r\n";
        reply += ".\r\n";
    } else if (answersTop && line.startsWith("TOP ")) {
        const QByteArray n = line.split(' ').value(1);
        reply = "+OK\r\nFrom: sender" + n + "@example.jp\r\nSubject: message " + n + "\r\n.\r\n";
    } else {
        reply = "-ERR unknown\r\n";
    }
    peer->write(reply);
}

AutoSmtpServer::AutoSmtpServer() {
    m_server.listen(QHostAddress::LocalHost);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *peer = m_server.nextPendingConnection()) {
            ++sessions;
            auto *buffer = new QByteArray;
            auto *inData = new bool(false);
            connect(peer, &QTcpSocket::readyRead, peer, [this, peer, buffer, inData] {
                *buffer += peer->readAll();
                qsizetype end;
                while ((end = buffer->indexOf("\r\n")) >= 0) {
                    const QByteArray line = buffer->left(end);
                    buffer->remove(0, end + 2);
                    if (*inData) {
                        if (line == ".") {
                            *inData = false;
                            peer->write(dataReply + "\r\n");
                        } else {
                            messages.last() += line + "\r\n";
                        }
                        continue;
                    }
                    commands << line;
                    if (line.startsWith("DATA")) {
                        *inData = true;
                        messages << QByteArray();
                        peer->write("354 go on\r\n");
                    } else if (line.startsWith("QUIT")) {
                        peer->write("221 bye\r\n");
                        peer->disconnectFromHost();
                    } else {
                        peer->write("250 ok\r\n");
                    }
                }
            });
            connect(peer, &QTcpSocket::disconnected, peer, [peer, buffer, inData] {
                delete buffer;
                delete inData;
                peer->deleteLater();
            });
            peer->write(greeting + "\r\n");
        }
    });
}
