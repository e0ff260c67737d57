#pragma once
// Well-behaved POP3 and SMTP peers that answer by themselves, for tests of
// whole checks through the program: a mailbox of UIDs, and a mail sink.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class AutoPop3Server : public QObject {
    Q_OBJECT
  public:
    AutoPop3Server();
    quint16 port() const { return m_server.serverPort(); }

    QList<QByteArray> uids;  // the mailbox, in listing order
    int sessions = 0;        // connections accepted so far
    bool silent = false;     // accept, then never say a word
    bool answersTop = false; // TOP n 0: "From: sender<n>@example.jp", "Subject: message <n>"

  private:
    void answer(class QTcpSocket *peer, const QByteArray &line);
    QTcpServer m_server;
};

class AutoSmtpServer : public QObject {
    Q_OBJECT
  public:
    AutoSmtpServer();
    quint16 port() const { return m_server.serverPort(); }

    QByteArray greeting = "220 ready";
    QByteArray dataReply = "250 ok"; // the reply to the end of the data
    QList<QByteArray> messages;      // what came between DATA and "."
    QList<QByteArray> commands;      // every command line, in order
    int sessions = 0;

  private:
    QTcpServer m_server;
};
