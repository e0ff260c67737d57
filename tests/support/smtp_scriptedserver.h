#pragma once
// An SMTP peer played by the test: it records the client's bytes and sends
// whatever the test tells it to, when it tells it to, including what no real
// server does (refusals anywhere, silence, split or malformed replies).
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

    QByteArray received;
    int connections = 0;
    QPointer<QTcpSocket> client;

  private:
    QTcpServer m_server;
};
