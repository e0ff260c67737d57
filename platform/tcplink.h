#pragma once
// A TCP connection for the line dialogues with the mail servers, on plain
// sockets. Qt's socket classes would bring in Qt Network, which loads
// Kerberos, GSSAPI and proxy libraries at every start of the program; a
// POP3 and SMTP client on fixed ports needs none of them.
//
// Signals come from the event loop only, never from inside a call. Closing
// or aborting from this side signals nothing.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <sys/socket.h>
#include <vector>

class QSocketNotifier;

class TcpLink : public QObject {
    Q_OBJECT
  public:
    explicit TcpLink(QObject *parent = nullptr);
    ~TcpLink() override;

    // Looks the host up (off the GUI thread), then tries its addresses in
    // turn; one that has not answered within AddressTimeoutMs gives way to
    // the next (the last one waits as long as the caller does). A host that
    // cannot be reached signals nothing.
    void connectToHost(const QString &host, quint16 port);
    bool isOpen() const { return m_state != State::Closed; } // from connectToHost on
    bool isConnected() const { return m_state == State::Connected; }

    qint64 bytesAvailable() const { return m_in.size(); }
    QByteArray readAll();
    // Queues the bytes and sends what the socket takes now; the rest goes
    // as it drains. -1 unless connected.
    qint64 write(const QByteArray &bytes);
    // Sends what the socket takes now; true when nothing is left queued.
    bool flush();
    // Sends what the socket takes now, then closes.
    void close();
    // Closes at once; queued bytes are dropped.
    void abort();

    // A silently dropped address (a broken IPv6 route, say) would otherwise
    // hold the connection for the kernel's two minutes.
    static constexpr int AddressTimeoutMs = 3000;
    // Read per wake-up: a peer that sends without pause cannot keep the
    // event loop from timers and windows, nor grow the buffer unread.
    static constexpr qsizetype ReadPerWakeUp = 64 * 1024;

  signals:
    void connected();
    void readyRead();
    void disconnected(); // the peer closed or reset the connection

  private:
    enum class State { Closed, LookingUp, Connecting, Connected };
    struct Address {
        sockaddr_storage addr;
        socklen_t len;
    };

    // getaddrinfo's answers for the name, in its order; empty when none.
    static std::vector<Address> resolve(const QByteArray &name, quint16 port, int flags);
    void lookedUp(quint64 attempt, std::vector<Address> addresses);
    void tryNextAddress();
    void onWritable();
    void onReadable();
    void closeSocket();

    State m_state = State::Closed;
    int m_fd = -1;
    quint64 m_attempt = 0; // a lookup answering an older attempt is ignored
    std::vector<Address> m_addresses;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    class QTimer *m_addressTimer = nullptr;
    QByteArray m_in;
    QByteArray m_out;
};
