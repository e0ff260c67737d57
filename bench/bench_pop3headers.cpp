// The check that reads the headers of new mail (TOP n 0) beside the same
// check without, on a local Dovecot of 100,000 messages with 5 new; and what
// goes over the wire: exactly 5 TOP commands at the first check of the whole
// mailbox, and with the option off the designed commands and nothing more.
#include "support/pop3_dovecot.h"
#include "support/pop3_harness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int Messages = 100000;
constexpr int NewOnes = 5;

// Passes one connection at a time through to Dovecot, keeping what the
// client sent.
struct Relay {
    QTcpServer server;
    QByteArray fromClient;
    Relay() {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            QTcpSocket *client = server.nextPendingConnection();
            auto *upstream = new QTcpSocket(client);
            upstream->connectToHost(QHostAddress::LocalHost, 110);
            QObject::connect(client, &QTcpSocket::readyRead, client, [this, client, upstream] {
                const QByteArray bytes = client->readAll();
                fromClient += bytes;
                upstream->write(bytes);
            });
            QObject::connect(upstream, &QTcpSocket::readyRead, client,
                             [client, upstream] { client->write(upstream->readAll()); });
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        });
    }
};

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    Pop3Dovecot server;
    if (!server.skipReason().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.skipReason()));
        return 77;
    }
    QElapsedTimer fill;
    fill.start();
    if (server.addMessages(Messages - NewOnes).size() != Messages - NewOnes || !server.start())
        return 1;
    std::printf("pop3headers: %d messages filled in %.1f s\n", Messages - NewOnes,
                fill.elapsed() / 1e3);

    Pop3Harness h;
    h.host.settings.POP_UserID = server.user;
    h.host.settings.POP_PassWord = server.password;
    h.runToEnd(); // Dovecot indexes; the store then knows them all
    QFile storeFile(h.storePath());
    if (!storeFile.open(QIODevice::ReadOnly)) return 1;
    const QByteArray seen = storeFile.readAll();
    storeFile.close();
    server.addMessages(NewOnes);

    // The wire, through a relay: the first check of the whole mailbox, with
    // and without headers.
    bool wireMet = true;
    for (const bool headers : {true, false}) {
        Relay relay;
        Pop3Harness first;
        first.host.settings = h.host.settings;
        first.host.settings.connection.showHeaders = headers;
        first.host.seamsValue.popPort = relay.server.serverPort();
        first.runToEnd();
        const qsizetype tops = relay.fromClient.count("TOP ");
        const QByteArray designed = "USER " + server.user.toLatin1() + "\r\nPASS " +
                                    server.password.toLatin1() + "\r\nLIST \r\nUIDL\r\n";
        const bool met = headers ? tops == NewOnes : relay.fromClient == designed;
        wireMet = wireMet && met && first.host.check().retries() == 0;
        std::printf("pop3headers: first check of %d messages, headers %s: %lld TOP commands, "
                    "%lld bytes sent (%s)\n",
                    Messages, headers ? "on " : "off", qint64(tops),
                    qint64(relay.fromClient.size()),
                    met ? (headers ? "5: met" : "the designed bytes: met") : "MISSED");
    }

    // Timed: each run starts from the store without the 5 newest.
    QList<double> with, without;
    for (int run = 0; run < 9; ++run) {
        for (const bool headers : {false, true}) {
            if (!writeFile(h.storePath(), seen)) return 1;
            h.host.settings.connection.showHeaders = headers;
            h.host.logLines.clear();
            QElapsedTimer t;
            t.start();
            h.runToEnd();
            const double ms = t.nsecsElapsed() / 1e6;
            if (h.host.check().retries() != 0 ||
                h.host.logLines.value(0) != QStringLiteral("5通の新着メールがあります"))
                return 1;
            (headers ? with : without) << ms;
        }
    }
    const double on = median(with), off = median(without);
    const bool timeMet = on <= off * 1.05 + 5;
    std::printf("pop3headers: %d messages, %d new: without headers %.1f ms, with %.1f ms "
                "(medians of 9); goal with <= without x 1.05 + 5 ms = %.1f ms: %s\n",
                Messages, NewOnes, off, on, off * 1.05 + 5, timeMet ? "met" : "MISSED");
    return timeMet && wireMet ? 0 : 2;
}
