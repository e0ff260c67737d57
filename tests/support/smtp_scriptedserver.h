#pragma once
// An SMTP peer played by the test: it records the client's bytes and sends
// whatever the test tells it to, when it tells it to, including what no real
// server does (refusals anywhere, silence, split or malformed replies). With
// offerTls() before the client connects, it can also take STARTTLS.
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

class SmtpScriptedServer : public QObject {
    Q_OBJECT
  public:
    SmtpScriptedServer();
    quint16 port() const { return m_server.serverPort(); }

    // Waits until a client has connected.
    bool waitForClient(int ms = 5000);
    void send(const QByteArray &bytes);
    void closeClient();
    // Waits until the client's bytes so far are exactly `expected`.
    bool waitForReceived(const QByteArray &expected, int ms = 5000);
    // Before the client connects: its socket can then take STARTTLS.
    void offerTls() { m_server.tls = true; }
    // The server's side of the handshake after its 220 to STARTTLS, with a
    // certificate and its key (PEM files); `received` then goes on with
    // what the client sends inside TLS.
    bool startTls(const QString &certFile, const QString &keyFile);

    QByteArray received;
    int connections = 0;
    QPointer<QTcpSocket> client;

  private:
    // Accepts QSslSocket once TLS is offered, plain until startTls.
    struct Listener : QTcpServer {
        bool tls = false;
        void incomingConnection(qintptr fd) override;
    };
    Listener m_server;
};
