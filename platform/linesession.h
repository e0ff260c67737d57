#pragma once
// The skeleton of a line dialogue with a mail server, shared by the POP3 and
// the SMTP session: it owns the link and both guards, frames the byte stream
// into bounded lines, upgrades to TLS on the server's go-ahead, turns a TLS
// failure into the result, runs a SASL exchange, and finishes exactly once.
// A session on top keeps only its state machine.
//
// The link is handed in: a TcpLink in the program, an in-memory one in the
// tests and fuzzers.
#include "platform/link.h"

#include <QByteArrayList>
#include <QObject>
#include <QString>

class QTimer;

struct SessionResult {
    enum class Outcome {
        Done,     // the dialogue reached its end
        Failed,   // status (and log, when not empty) say why
        TimedOut, // a guard ran out
    };
    Outcome outcome = Outcome::Failed;
    QString status;
    QString logMessage;
    // Failed on the secure connection itself: the check words the texts.
    bool tlsFailed = false;
    Link::TlsError tlsError = Link::HandshakeFailed;
    QByteArray fingerprint; // raw SHA-256 of a refused certificate
    CertificateInfo certificate;
    QString tlsDetail;
    // The server refused what was sent itself: the same again fails alike.
    bool refusedForGood = false;
};

class LineSession : public QObject {
    Q_OBJECT
  public:
    struct Endpoint {
        QString host;
        quint16 port = 0;
        LinkSecurity security = LinkSecurity::None;
        TlsOptions tls;
        int guardMs = 60000; // connect and reply guards
    };
    struct Framing {
        qsizetype maxLine = 1000; // bytes of a line without its end
        bool bareLfEndsLine = false;
    };

    // Takes the link over.
    LineSession(Link *link, Framing framing, QObject *parent = nullptr);
    ~LineSession() override;

    // Stops both guards and drops the link; reports nothing.
    void Form_Unload();

  signals:
    // A progress text for the status line.
    void statusChanged(const QString &text);

  protected:
    // Connects (TLS from the first byte when asked) and arms the connect
    // guard. Once per session.
    void open(const Endpoint &endpoint);
    const Endpoint &endpoint() const { return m_endpoint; }
    Link *link() const { return m_link; }
    bool ended() const { return m_finished; }
    bool loaded() const { return m_opened || m_finished; }

    // Text from the settings that would end a command (or the data) early
    // and smuggle in another is never sent: judged on the bytes themselves.
    static bool smuggles(const QByteArray &bytes) {
        return bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
    }
    // Bytes with their line end; dropped unless connected.
    void send(const QByteArray &bytes);
    // The server said go ahead to STLS/STARTTLS: the handshake runs, and
    // whatever arrives in the clear meanwhile is dropped.
    void beginTls();
    // Closes the link (politely when `graceful`: queued bytes and TLS
    // close_notify go out first) and reports, once.
    void finish(const SessionResult &result, bool graceful = false);
    void fail(const QString &status, const QString &logMessage);
    void succeed(bool graceful = false);

    // SASL (RFC 4422) as POP3 AUTH and SMTP AUTH share it: the command, the
    // base64 responses to the server's continuations. Picks PLAIN, else
    // LOGIN, of what the server lists; false when none fits (nothing sent).
    bool saslBegin(const QByteArrayList &offered, const QString &user, const QString &password);
    // A continuation came: sends the next response; false when the
    // mechanism has none left to give.
    bool saslContinue();
    // Every response of the mechanism has been sent.
    bool saslComplete() const { return m_saslSteps.isEmpty(); }

    // The session's part.
    virtual void linkConnected() {}
    // One complete line, without its end; false when the session ended.
    virtual bool lineArrived(QByteArrayView line) = 0;
    virtual void lineTooLong() = 0;
    // The handshake after beginTls() is done.
    virtual void secured() = 0;
    // The server closed the connection before the session ended.
    virtual void serverClosed() {}
    // An unreachable server ends a secure session at once; the plain
    // dialogue leaves it to the connect guard, as it always has.
    virtual bool endsWhenUnreachable() const = 0;
    // "受信サーバ" / "送信サーバ", for the texts of the skeleton's failures.
    virtual QString serverWord() const = 0;
    // Where the protocol speaks TLS from the first byte (995, 465), and the
    // name of its upgrade command: a plain dialogue there hears nothing.
    virtual quint16 implicitTlsPort() const = 0;
    virtual QString startTlsName() const = 0;
    virtual SessionResult timedOut() const = 0;
    virtual void report(const SessionResult &result) = 0;

  private:
    void takeBytes(QByteArrayView bytes);
    void guardRanOut();
    // The likely mistake behind a silent or refused connection: the port
    // speaks the other kind of security than the one chosen.
    bool plainOnTlsPort() const;
    void tlsPortInClear();
    void plainPortWithTls();

    // A server greets at once. On a TLS port no greeting ever comes: after
    // this long the user is told why, rather than after the reply guard.
    static constexpr int GreetingWaitMs = 10000;

    Link *m_link;
    QTimer *Timer1; // connect guard
    QTimer *Timer2; // reply guard, restarted by every complete line
    Framing m_framing;
    Endpoint m_endpoint;
    QByteArray m_buffer; // received bytes not yet framed into lines
    QByteArrayList m_saslSteps;
    bool m_opened = false;
    bool m_finished = false;
    bool m_securing = false;
    bool m_reached = false; // connected
    bool m_heard = false;   // the server has sent something
};
