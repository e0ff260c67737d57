#pragma once
// A TCP connection for the line dialogues with the mail servers, on plain
// sockets. Qt's socket classes would bring in Qt Network, which loads
// Kerberos, GSSAPI and proxy libraries at every start of the program; a
// POP3 and SMTP client on fixed ports needs none of them. TLS, when asked
// for, goes over the same socket and notifiers (platform/tls.h).
//
// Signals come from the event loop only, never from inside a call. Closing
// or aborting from this side signals nothing.
#include "platform/link.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <vector>

class QSocketNotifier;
class TlsClient;

class TcpLink : public Link {
    Q_OBJECT
  public:
    explicit TcpLink(QObject *parent = nullptr);
    ~TcpLink() override;

    // Looks the host up (off the GUI thread), then tries its addresses in
    // turn; one that has not answered within AddressTimeoutMs gives way to
    // the next (the last one waits as long as the caller does). A host that
    // cannot be reached signals unreachable(), with NameNotFound when the
    // name server said the name does not exist.
    void connectToHost(const QString &host, quint16 port) override;
    bool isOpen() const { return m_state != State::Closed; } // from connectToHost on
    bool isConnected() const override { return m_state == State::Connected; }

    // TLS 1.2 or newer, the certificate verified against the trust store and
    // the host name. A certificate that fails is refused by tlsFailed(), with
    // its fingerprint, unless it is the accepted one.
    // Implicit TLS (POP3 on 995, submission on 465): connected() only once
    // the handshake is done.
    void connectToHostEncrypted(const QString &host, quint16 port,
                                const TlsOptions &options) override;
    // STLS / STARTTLS on a connected plain link: encrypted() once the
    // handshake is done. Bytes written meanwhile wait for it. Ignored unless
    // connected and plain.
    void startTls(const TlsOptions &options) override;
    bool isEncrypted() const override;

    qint64 bytesAvailable() const { return m_in.size(); }
    QByteArray readAll() override;
    // Queues the bytes and sends what the socket takes now; the rest goes
    // as it drains. -1 unless connected.
    qint64 write(const QByteArray &bytes) override;
    // Sends what the socket takes now; true when nothing is left queued.
    bool flush();
    // Sends what the socket takes now, then closes.
    void close() override;
    // Closes at once; queued bytes are dropped.
    void abort() override;
    bool answeredInClear() const override { return m_answeredInClear; }

    // A silently dropped address (a broken IPv6 route, say) would otherwise
    // hold the connection for the kernel's two minutes.
    static constexpr int AddressTimeoutMs = 3000;
    // Read per wake-up: a peer that sends without pause cannot keep the
    // event loop from timers and windows, nor grow the buffer unread.
    static constexpr qsizetype ReadPerWakeUp = 64 * 1024;

  private:
    static constexpr qsizetype TlsWriteSlice = 256 * 1024;
    // Ciphertext waiting for the socket: a slice and what TLS answers on its
    // own. A peer that provokes answers without reading them is cut off.
    static constexpr qsizetype MaxQueuedCiphertext = 4 * TlsWriteSlice;
    // Securing: the socket is up, the handshake of connectToHostEncrypted runs.
    enum class State { Closed, LookingUp, Connecting, Securing, Connected };
    struct Address {
        sockaddr_storage addr;
        socklen_t len;
    };

    // getaddrinfo's answers for the name, in its order; empty when none,
    // with *notFound set when the name does not exist.
    static std::vector<Address> resolve(const QByteArray &name, quint16 port, int flags,
                                        bool *notFound = nullptr);
    void lookedUp(quint64 attempt, std::vector<Address> addresses, bool notFound);
    void tryNextAddress();
    void onWritable();
    void onReadable();
    void closeSocket();
    bool beginTls(const TlsOptions &options, QString *why);
    void onTlsReadable(bool ended);
    void failTls(TlsError error, const QByteArray &fingerprint, const QString &detail,
                 const CertificateInfo &certificate);

    State m_state = State::Closed;
    int m_fd = -1;
    quint64 m_attempt = 0; // a lookup answering an older attempt is ignored
    std::vector<Address> m_addresses;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    class QTimer *m_addressTimer = nullptr;
    QByteArray m_in;
    QByteArray m_out; // for the socket: ciphertext once TLS has begun
    QString m_host;
    std::optional<TlsOptions> m_implicitTls; // until the socket is up
    std::unique_ptr<TlsClient> m_tls;
    QByteArray m_plainOut;          // written over TLS, not yet encrypted
    bool m_heardOnTls = false;      // the peer has sent since the TLS began
    bool m_answeredInClear = false; // its first bytes there were no TLS record
};
