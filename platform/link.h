#pragma once
// What a mail dialogue needs of its connection. TcpLink is the real one; the
// tests and fuzzers hand the sessions an in-memory one instead, so a dialogue
// runs with no port and no wait.
//
// Signals come from the event loop only, never from inside a call. Closing
// or aborting from this side signals nothing.
#include "platform/linksecurity.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class Link : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    enum TlsError { HandshakeFailed, UnknownIssuer, WrongHostName, Expired, OtherVerifyError };
    Q_ENUM(TlsError)
    // Why no connection came: nothing answered, or the name server knows
    // no such name (a typing error the user can fix, not an outage).
    enum Unreachable { NoAnswer, NameNotFound };
    Q_ENUM(Unreachable)

    virtual void connectToHost(const QString &host, quint16 port) = 0;
    // Implicit TLS: connected() only once the handshake is done.
    virtual void connectToHostEncrypted(const QString &host, quint16 port,
                                        const TlsOptions &options) = 0;
    // STLS / STARTTLS on a connected plain link: encrypted() once done.
    virtual void startTls(const TlsOptions &options) = 0;
    virtual bool isConnected() const = 0;
    virtual bool isEncrypted() const = 0;
    virtual QByteArray readAll() = 0;
    // Queues the bytes and sends what the socket takes now.
    virtual qint64 write(const QByteArray &bytes) = 0;
    // Sends what the socket takes now, then closes (TLS says close_notify).
    virtual void close() = 0;
    // Closes at once; queued bytes are dropped.
    virtual void abort() = 0;
    // After a failed TLS-from-the-first-byte handshake: what the server sent
    // was no TLS record but text, as a plain server greets.
    virtual bool answeredInClear() const { return false; }

  signals:
    void connected();
    void readyRead();
    void disconnected(); // the peer closed or reset the connection
    // No address of the host could be reached; the link is closed.
    void unreachable(Link::Unreachable why = Link::NoAnswer);
    void encrypted(); // after startTls
    // The link is closed already and signals nothing more; nothing written
    // after startTls has left in the clear. The fingerprint (raw SHA-256) is
    // the refused certificate's, empty for HandshakeFailed; so is what the
    // certificate says of itself.
    void tlsFailed(Link::TlsError error, const QByteArray &sha256Fingerprint, const QString &detail,
                   const CertificateInfo &certificate);
};
