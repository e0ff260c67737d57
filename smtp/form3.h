#pragma once
// smtp/: the SMTP session Form3, the notice message and the reply framer.
// One session sends one notice to the parameters it is given and reports
// how it went by signals; what the outcome means is the check layer's.
#include "platform/tcplink.h"
#include "smtp/replyframer.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

class QTimer;

class Form3 : public QObject {
    Q_OBJECT
  public:
    using Security = LinkSecurity;
    struct Params {
        QString host;
        quint16 port = 25;
        int guardMs = 60000; // connect and reply guards
        QString sender;      // the sender field as typed; empty: the product's name
        QString recipient;
        bool settingsTest = false; // "TEST MAIL" instead of the count
        qint16 count = 0;
        // Secure submission: EHLO, STARTTLS or TLS from the first byte, AUTH,
        // and a message with Date and Message-ID. Off (None without auth):
        // today's dialogue, byte for byte.
        Security security = Security::None;
        bool auth = false;
        QString authUser;
        QString authPassword;
        QString envelopeFrom; // MAIL FROM in the secure dialogue
        QString fromHeader;   // the From line's text there; empty: as in plain
        QDateTime date;       // the Date header
        TlsOptions tls;
    };
    enum class Outcome {
        Sent,     // the server took the message (and QUIT was sent)
        Refused,  // a reply refused a step
        TimedOut, // a guard ran out
    };

    explicit Form3(QObject *parent = nullptr);
    ~Form3() override;

    // The load handler: connects and starts the dialogue.
    void Form_Load(const Params &params);
    // Stops the timers and drops the link; reports nothing.
    void Form_Unload();

    // The arrival path without the socket read: takes bytes as the server
    // sent them. With sendTap, every send is also handed there; the fuzzer
    // drives the dialogue through these two, with no network.
    void takeBytes(QByteArrayView bytes);
    std::function<void(QByteArrayView)> sendTap;

    TcpLink *Winsock2; // the connection to the SMTP server
    QTimer *Timer1;    // connect guard
    QTimer *Timer2;    // reply guard, restarted by every complete line
    QString Text1;     // trace of every reply; never shown or saved
    qint16 Smtp_State = 0;

    // Why a secure dialogue was refused, for the status line and the log;
    // empty for the refusals of the plain dialogue.
    QString failureStatus;
    QString failureLog;
    // Failed on the secure connection itself: the check words the texts.
    bool tlsFailedFlag = false;
    TcpLink::TlsError tlsError = TcpLink::HandshakeFailed;
    QByteArray fingerprint; // raw SHA-256 of a refused certificate
    QString tlsDetail;

  signals:
    void statusChanged(const QString &text);
    // Emitted once, last, with the socket already closed. messageRefused:
    // the server refused the message itself, so sending it again would fail
    // the same way.
    void finished(Form3::Outcome outcome, bool messageRefused);

  private:
    void Winsock2_Connect();
    void Winsock2_DataArrival();
    void Timer1_Timer();
    void Timer2_Timer();

    // One complete reply; false when the dialogue ended with it.
    bool ReplyArrival(const QByteArrayList &lines);
    // A reply no server sends (a line too long, a reply without end).
    void WrongReply(const QByteArrayList &lines);
    void SendLine(const QByteArray &bytes);
    void AppendTrace(const QByteArrayList &lines);
    void ReplyError(const QByteArrayList &lines);
    void SendTimeOut();
    void SendFinished(const QByteArrayList &lines);
    void End(Outcome outcome, bool messageRefused = false);
    bool secure() const { return m_params.security != Security::None || m_params.auth; }
    bool SecureReply(const QByteArray &code, const QByteArrayList &lines);
    void SecureRefusal(const QString &status, const QString &log, const QByteArrayList &lines);
    void AfterEhlo(const QByteArrayList &lines);
    void Encrypted();
    void TlsFailed(TcpLink::TlsError error, const QByteArray &fingerprint, const QString &detail);
    void SendEhlo();
    void SendMailFrom();
    // The notice after DATA's 354, with the secure dialogue's extra headers.
    QList<QByteArray> NoticeSends(const QString &fromText) const;
    QByteArray QuitLine() const;

    Params m_params;
    ReplyFramer m_framer;
    QByteArrayList m_replyLines; // lines of the reply being read
    bool m_loaded = false;
    bool m_unloaded = false;
    bool m_securing = false; // STARTTLS accepted, the handshake runs
};
