#pragma once
// The TLS client of one TcpLink connection: OpenSSL over memory buffers. The
// link moves the ciphertext between these buffers and its socket itself, so
// sends keep MSG_NOSIGNAL and reads keep their cap per wake-up; OpenSSL never
// touches the socket.
#include "platform/tcplink.h"

#include <QByteArray>
#include <QString>
#include <memory>

struct OpenSslApi;
struct bio_st;
struct ssl_ctx_st;
struct ssl_st;
struct x509_store_ctx_st;

class TlsClient {
  public:
    // host: its ASCII form, or an address literal. nullptr, with the reason
    // in *why, when libssl cannot be loaded or set up.
    static std::unique_ptr<TlsClient> create(const QByteArray &host, const TlsOptions &options,
                                             QString *why);
    ~TlsClient();

    enum class Step { Again, Done, Failed };
    Step handshake();
    bool isEstablished() const { return m_established; }

    void feed(const char *data, qsizetype size); // ciphertext from the peer
    void takeOutgoing(QByteArray &to);           // appends ciphertext for the peer
    // Appends what has been decrypted; false once the peer has closed (its
    // close_notify) or the stream is broken.
    bool read(QByteArray &to);
    bool write(const char *data, qsizetype size);
    void shutdown(); // queues our close_notify

    // Why the handshake failed.
    TcpLink::TlsError error() const { return m_error; }
    QByteArray fingerprint() const { return m_fingerprint; }
    QString detail() const { return m_detail; }
    CertificateInfo certificate() const { return m_certificate; }

  private:
    explicit TlsClient(const OpenSslApi &api) : m_api(api) {}
    bool setUp(const QByteArray &host, const TlsOptions &options);
    bool fail(const QString &fallback);
    static int verifyPeer(int ok, x509_store_ctx_st *store);
    int refuse(x509_store_ctx_st *store);

    const OpenSslApi &m_api;
    ssl_ctx_st *m_ctx = nullptr;
    ssl_st *m_ssl = nullptr;
    bio_st *m_fromPeer = nullptr; // owned by m_ssl
    bio_st *m_toPeer = nullptr;   // owned by m_ssl
    QByteArray m_accepted;        // raw SHA-256, or empty
    bool m_acceptedUsed = false;
    bool m_established = false;
    int m_verifyError = 0; // the first, from the verify callback
    TcpLink::TlsError m_error = TcpLink::HandshakeFailed;
    QByteArray m_fingerprint;
    CertificateInfo m_certificate;
    QString m_detail;
};
