#include "support/faults_pop3server.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

FaultyPop3Server::FaultyPop3Server(quint32 seed) : m_rng(seed) {
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server.nextPendingConnection()) {
            ++connections;
            s->setParent(this);
            // Small pieces go out at once: Nagle's wait for a delayed ACK
            // could stall a trickle or a split reply past the guard.
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            serve(s, std::exchange(next, Plan{}));
        }
    });
}

void FaultyPop3Server::reply(QTcpSocket *s, const Plan &plan, int step, const QByteArray &bytes) {
    const bool here = plan.step == step;
    if (plan.fault == Fault::Silent && step >= plan.step) return;
    if (here && plan.fault == Fault::Refuse) {
        s->write("-ERR no\r\n");
        return;
    }
    if (here && plan.fault == Fault::Close) {
        s->disconnectFromHost();
        return;
    }
    if (here && plan.fault == Fault::Trickle) {
        s->write(bytes.left(bytes.indexOf("\r\n") + 2));
        const QByteArray line = step == 3 ? "1 10\r\n" : "1 uid\r\n";
        auto *timer = new QTimer(s); // goes with the connection
        connect(timer, &QTimer::timeout, s, [s, line] { s->write(line); });
        timer->start(TrickleMs);
        return;
    }
    if (here && plan.fault == Fault::CloseMidReply) {
        s->write(bytes.left(qMax<qsizetype>(1, bytes.size() / 2)));
        s->disconnectFromHost();
        return;
    }
    if (plan.fault != Fault::Split) {
        s->write(bytes);
        return;
    }
    // Pieces at random cuts, each a little later than the one before; one
    // queue per connection, so a reply never overtakes the one before it.
    auto queue = s->property("pieces").value<std::shared_ptr<QList<QByteArray>>>();
    const bool idle = !queue || queue->isEmpty();
    if (!queue) {
        queue = std::make_shared<QList<QByteArray>>();
        s->setProperty("pieces", QVariant::fromValue(queue));
    }
    for (qsizetype pos = 0; pos < bytes.size();) {
        const qsizetype n = 1 + m_rng.bounded(int(qMin<qsizetype>(bytes.size() - pos, 40)));
        queue->append(bytes.mid(pos, n));
        pos += n;
    }
    if (idle) pump(s, queue);
}

void FaultyPop3Server::pump(QTcpSocket *s, std::shared_ptr<QList<QByteArray>> queue) {
    QPointer<QTcpSocket> socket(s);
    QTimer::singleShot(int(m_rng.bounded(3)), s, [this, socket, queue] {
        if (!socket || queue->isEmpty()) return;
        socket->write(queue->takeFirst());
        if (!queue->isEmpty()) pump(socket, queue);
    });
}

void FaultyPop3Server::serve(QTcpSocket *s, Plan plan) {
    const QList<QByteArray> box = mailbox;
    reply(s, plan, 0, "+OK ready\r\n");
    auto buffer = std::make_shared<QByteArray>();
    connect(s, &QTcpSocket::readyRead, s, [this, s, plan, box, buffer] {
        *buffer += s->readAll();
        for (qsizetype nl; (nl = buffer->indexOf("\r\n")) >= 0;) {
            const QByteArray line = buffer->left(nl);
            buffer->remove(0, nl + 2);
            if (line.startsWith("USER ")) {
                reply(s, plan, 1, "+OK\r\n");
            } else if (line.startsWith("PASS ")) {
                reply(s, plan, 2, "+OK\r\n");
            } else if (line == "LIST ") {
                QByteArray r = "+OK " + QByteArray::number(box.size()) + " 100\r\n";
                if (!box.isEmpty()) {
                    for (int i = 0; i < box.size(); ++i)
                        r += QByteArray::number(i + 1) + " 10\r\n";
                    r += ".\r\n";
                }
                reply(s, plan, 3, r);
            } else if (line == "UIDL") {
                QByteArray r = "+OK\r\n";
                const int times = plan.fault == Fault::Duplicates ? 20 : 1;
                for (int i = 0; i < box.size() * times; ++i) {
                    const bool broken = plan.fault == Fault::Malformed && i == box.size() / 2;
                    r += (broken ? QByteArray() : QByteArray::number(i + 1) + " ") +
                         box[i % box.size()] + "\r\n";
                }
                r += ".\r\n";
                reply(s, plan, 4, r);
            }
        }
    });
}
