#pragma once
// pop3/: the POP3 session Form1 and the seen-id store. A session takes its
// server and account as parameters, runs USER, PASS, LIST and UIDL, and
// reports what it found by signals; it decides nothing about notices and
// shows nothing. What the listing means is the check layer's business.
#include "platform/tcplink.h"
#include "pop3/uidstore.h"

#include <QByteArray>
#include <QObject>
#include <functional>

class QTimer;

class Form1 : public QObject {
    Q_OBJECT
  public:
    // StartTls: STLS after the greeting (RFC 2595 4); Tls: POP3S.
    using Security = LinkSecurity;
    struct Params {
        QString host;
        quint16 port = 110;
        QString user;
        QString password;
        int guardMs = 60000; // connect and reply guards
        Security security = Security::None;
        TlsOptions tls;
    };
    enum class Outcome {
        Listed,   // a complete UIDL listing: uids and count
        Empty,    // LIST said the mailbox is empty
        Failed,   // status (and log, when not empty) say why
        TimedOut, // a guard ran out
    };
    struct Result {
        Outcome outcome = Outcome::Failed;
        QString status;
        QString logMessage;
        qint16 count = 0; // the message count LIST gave (stopped at 32767)
        UidList uids;
        // Failed on the secure connection itself: the check words the texts.
        bool tlsFailed = false;
        TcpLink::TlsError tlsError = TcpLink::HandshakeFailed;
        QByteArray fingerprint; // raw SHA-256 of a refused certificate
        QString tlsDetail;
    };

    explicit Form1(QObject *parent = nullptr);

    // The load handler: connects and starts the dialogue.
    void Form_Load(const Params &params);
    // Stops both timers and aborts the socket; reports nothing.
    void Form_Unload();

    // Longest reply line taken, and largest UIDL listing collected: a server
    // past these is broken or hostile, not a mailbox.
    static constexpr qsizetype MaxLineBytes = 1000;
    static constexpr qsizetype MaxListingBytes = qsizetype(64) * 1024 * 1024;

    // The arrival path without the socket read: takes bytes as the server
    // sent them. With sendTap, every line sent is also handed there; the
    // fuzzer drives the dialogue through these two, with no network.
    void takeBytes(QByteArrayView bytes);
    std::function<void(QByteArrayView)> sendTap;

    TcpLink *Winsock1;
    QTimer *Timer1; // connect guard
    QTimer *Timer2; // reply guard
    qint16 Pop_State = 0;

  signals:
    // A progress text for the status line.
    void statusChanged(const QString &text);
    // The session is over and its socket closed; emitted once, last.
    void finished(const Form1::Result &result);

  private:
    void Winsock1_Connect();
    void Winsock1_DataArrival();
    void Winsock1_Close();
    void encrypted();
    void tlsFailed(TcpLink::TlsError error, const QByteArray &fingerprint, const QString &detail);
    void sendUser();

    // Returns false when the session ended on this line.
    bool handleLine(QByteArrayView line);
    void handleStatusLine(const QString &line);
    void tooLong();
    void sendLine(const QByteArray &command);
    void listingComplete();
    void failure(const QString &status, const QString &logMessage);
    void malformedListing();
    void stlsRefused(const QString &reply);
    void timeout();
    void closeSocket();
    void finish(Result result);

    Params m_params;
    QByteArray m_buffer;    // received bytes not yet framed into lines
    QByteArray Uidl_Data;   // the UIDL listing, collected line by line
    qint64 m_scanLines = 0; // scan lines of the LIST reply
    qint16 m_count = 0;
    bool m_countFromScan = false;
    bool m_ownClose = false;
    bool m_finished = false;
    bool m_securing = false; // STLS accepted, the handshake runs
};
