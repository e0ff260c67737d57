#include "platform/tls.h"

#include <QFile>
#include <QTimeZone>
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

// libssl is opened on the first secure connection instead of being linked:
// loading and relocating libssl and libcrypto at start costs every user, also
// the plain ones, about half a megabyte of private memory and a millisecond or
// more. Only functions are called through this table; OpenSSL's
// function-like macros are spelt out as the calls they stand for.
#define QUIL_OPENSSL_FUNCTIONS(F)                                                                  \
    F(TLS_client_method)                                                                           \
    F(SSL_CTX_new)                                                                                 \
    F(SSL_CTX_free)                                                                                \
    F(SSL_CTX_ctrl)                                                                                \
    F(SSL_CTX_set_options)                                                                         \
    F(SSL_CTX_set_default_verify_paths)                                                            \
    F(SSL_CTX_load_verify_locations)                                                               \
    F(SSL_CTX_set_verify)                                                                          \
    F(SSL_new)                                                                                     \
    F(SSL_free)                                                                                    \
    F(SSL_set_bio)                                                                                 \
    F(SSL_set_connect_state)                                                                       \
    F(SSL_ctrl)                                                                                    \
    F(SSL_set1_host)                                                                               \
    F(SSL_set_hostflags)                                                                           \
    F(SSL_get0_param)                                                                              \
    F(SSL_set_ex_data)                                                                             \
    F(SSL_get_ex_data)                                                                             \
    F(SSL_get_ex_data_X509_STORE_CTX_idx)                                                          \
    F(SSL_do_handshake)                                                                            \
    F(SSL_read_ex)                                                                                 \
    F(SSL_write_ex)                                                                                \
    F(SSL_shutdown)                                                                                \
    F(SSL_get_error)                                                                               \
    F(SSL_get_verify_result)                                                                       \
    F(SSL_get0_peer_certificate)                                                                   \
    F(BIO_s_mem)                                                                                   \
    F(BIO_new)                                                                                     \
    F(BIO_free)                                                                                    \
    F(BIO_read)                                                                                    \
    F(BIO_write)                                                                                   \
    F(BIO_ctrl_pending)                                                                            \
    F(X509_VERIFY_PARAM_set1_ip_asc)                                                               \
    F(X509_STORE_CTX_get_ex_data)                                                                  \
    F(X509_STORE_CTX_get0_cert)                                                                    \
    F(X509_STORE_CTX_get_error)                                                                    \
    F(X509_verify_cert_error_string)                                                               \
    F(X509_digest)                                                                                 \
    F(X509_get_subject_name)                                                                       \
    F(X509_get_issuer_name)                                                                        \
    F(X509_NAME_print_ex)                                                                          \
    F(X509_get_ext_d2i)                                                                            \
    F(X509_get0_notBefore)                                                                         \
    F(X509_get0_notAfter)                                                                          \
    F(ASN1_TIME_to_tm)                                                                             \
    F(ASN1_STRING_get0_data)                                                                       \
    F(ASN1_STRING_length)                                                                          \
    F(GENERAL_NAMES_free)                                                                          \
    F(OPENSSL_sk_num)                                                                              \
    F(OPENSSL_sk_value)                                                                            \
    F(EVP_sha256)                                                                                  \
    F(ERR_get_error)                                                                               \
    F(ERR_error_string_n)                                                                          \
    F(ERR_clear_error)

struct OpenSslApi {
#define QUIL_MEMBER(name) decltype(&::name) name = nullptr;
    QUIL_OPENSSL_FUNCTIONS(QUIL_MEMBER)
#undef QUIL_MEMBER
};

namespace {
// Loaded once and kept: libcrypto cannot be unloaded anyway.
const OpenSslApi *openSsl(QString *why) {
    static OpenSslApi api;
    static QString failure;
    static const bool loaded = [] {
        // The soname every OpenSSL 3 release keeps.
        void *lib = ::dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            failure = QString::fromLocal8Bit(::dlerror());
            return false;
        }
#define QUIL_RESOLVE(name)                                                                         \
    api.name = reinterpret_cast<decltype(api.name)>(::dlsym(lib, #name));                          \
    if (!api.name) failure = QStringLiteral("libssl.so.3 has no " #name);
        QUIL_OPENSSL_FUNCTIONS(QUIL_RESOLVE)
#undef QUIL_RESOLVE
        return failure.isEmpty();
    }();
    if (!loaded && why) *why = failure;
    return loaded ? &api : nullptr;
}

TcpLink::TlsError classify(int verifyError) {
    switch (verifyError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return TcpLink::UnknownIssuer;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TcpLink::WrongHostName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: // outside its dates either way
        return TcpLink::Expired;
    default:
        return TcpLink::OtherVerifyError;
    }
}
QString nameText(const OpenSslApi &api, const X509_NAME *name) {
    BIO *bio = api.BIO_new(api.BIO_s_mem());
    if (!bio) return {};
    QByteArray text;
    // One line as RFC 2253 writes it, with UTF-8 left as it is.
    if (api.X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
        text.resize(qsizetype(api.BIO_ctrl_pending(bio)));
        text.resize(qMax(api.BIO_read(bio, text.data(), int(text.size())), 0));
    }
    api.BIO_free(bio);
    return QString::fromUtf8(text);
}

QDateTime timeOf(const OpenSslApi &api, const ASN1_TIME *time) {
    tm t{};
    if (!time || api.ASN1_TIME_to_tm(time, &t) != 1) return {};
    return QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday),
                     QTime(t.tm_hour, t.tm_min, t.tm_sec), QTimeZone::utc());
}

CertificateInfo describe(const OpenSslApi &api, X509 *cert) {
    CertificateInfo info;
    if (!cert) return info;
    info.subject = nameText(api, api.X509_get_subject_name(cert));
    info.issuer = nameText(api, api.X509_get_issuer_name(cert));
    info.notBefore = timeOf(api, api.X509_get0_notBefore(cert));
    info.notAfter = timeOf(api, api.X509_get0_notAfter(cert));
    auto *names = static_cast<GENERAL_NAMES *>(
        api.X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (!names) return info;
    const auto *stack = reinterpret_cast<const OPENSSL_STACK *>(names);
    // Shown, not trusted: a few are enough to tell one server from another.
    const int count = qMin(api.OPENSSL_sk_num(stack), 16);
    for (int i = 0; i < count; ++i) {
        const auto *name = static_cast<const GENERAL_NAME *>(api.OPENSSL_sk_value(stack, i));
        if (!name) continue;
        if (name->type != GEN_DNS && name->type != GEN_IPADD) continue;
        const ASN1_STRING *value = name->type == GEN_DNS ? name->d.dNSName : name->d.iPAddress;
        const QByteArray bytes(reinterpret_cast<const char *>(api.ASN1_STRING_get0_data(value)),
                               qMax(api.ASN1_STRING_length(value), 0));
        if (name->type == GEN_DNS) {
            info.altNames << QString::fromLatin1(bytes);
        } else if (bytes.size() == 4) {
            info.altNames << QStringLiteral("%1.%2.%3.%4")
                                 .arg(quint8(bytes[0]))
                                 .arg(quint8(bytes[1]))
                                 .arg(quint8(bytes[2]))
                                 .arg(quint8(bytes[3]));
        } else if (bytes.size() == 16) {
            QStringList groups;
            for (int g = 0; g < 16; g += 2)
                groups << QString::number(quint8(bytes[g]) << 8 | quint8(bytes[g + 1]), 16);
            info.altNames << groups.join(u':');
        }
    }
    api.GENERAL_NAMES_free(names);
    return info;
}

} // namespace

std::unique_ptr<TlsClient> TlsClient::create(const QByteArray &host, const TlsOptions &options,
                                             QString *why) {
    const OpenSslApi *api = openSsl(why);
    if (!api) return nullptr;
    std::unique_ptr<TlsClient> client(new TlsClient(*api));
    if (client->setUp(host, options)) return client;
    *why = client->m_detail;
    return nullptr;
}

bool TlsClient::setUp(const QByteArray &host, const TlsOptions &options) {
    const OpenSslApi &api = m_api;
    api.ERR_clear_error();
    // What the user accepted is shown to them in hex; the raw form is 32 bytes.
    const QByteArray &given = options.acceptedFingerprint;
    m_accepted = given.size() == 32 ? given : QByteArray::fromHex(given);
    if (m_accepted.size() != 32) m_accepted.clear();
    if (host.isEmpty())
        return fail(QStringLiteral("no host name to check the certificate against"));

    m_ctx = api.SSL_CTX_new(api.TLS_client_method());
    if (!m_ctx) return fail({});
    // SSL_CTX_set_min_proto_version: TLS 1.0 and 1.1 are retired (RFC 8996).
    api.SSL_CTX_ctrl(m_ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    // A server asking to renegotiate TLS 1.2 gets an alert: a mail dialogue
    // never needs it, and it has been the way into the stream before.
    api.SSL_CTX_set_options(m_ctx, SSL_OP_NO_RENEGOTIATION);
    const bool trusted =
        options.caFile.isEmpty()
            ? api.SSL_CTX_set_default_verify_paths(m_ctx) == 1
            : api.SSL_CTX_load_verify_locations(
                  m_ctx, QFile::encodeName(options.caFile).constData(), nullptr) == 1;
    if (!trusted) return fail(QStringLiteral("no trusted certificates could be read"));
    // The callback learns the reason and the fingerprint of a failing
    // certificate, and lets the accepted one through; verification stays on.
    api.SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, &TlsClient::verifyPeer);

    m_ssl = api.SSL_new(m_ctx);
    bio_st *fromPeer = api.BIO_new(api.BIO_s_mem());
    bio_st *toPeer = api.BIO_new(api.BIO_s_mem());
    if (!m_ssl || !fromPeer || !toPeer) {
        if (fromPeer) api.BIO_free(fromPeer);
        if (toPeer) api.BIO_free(toPeer);
        return fail({});
    }
    api.SSL_set_bio(m_ssl, fromPeer, toPeer);
    m_fromPeer = fromPeer;
    m_toPeer = toPeer;
    api.SSL_set_ex_data(m_ssl, 0, this); // index 0: SSL_set_app_data's
    api.SSL_set_connect_state(m_ssl);
    // An address is checked as an address and sent without SNI, which
    // carries host names only (RFC 6066 section 3).
    if (api.X509_VERIFY_PARAM_set1_ip_asc(api.SSL_get0_param(m_ssl), host.constData()) == 1)
        return true;
    api.SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // SSL_set_tlsext_host_name
    if (api.SSL_ctrl(m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char *>(host.constData())) != 1 ||
        api.SSL_set1_host(m_ssl, host.constData()) != 1)
        return fail({});
    return true;
}

TlsClient::~TlsClient() {
    if (m_ssl) m_api.SSL_free(m_ssl); // and both buffers with it
    if (m_ctx) m_api.SSL_CTX_free(m_ctx);
}

int TlsClient::verifyPeer(int ok, x509_store_ctx_st *store) {
    if (ok) return 1;
    const OpenSslApi &api = *openSsl(nullptr);
    auto *ssl = static_cast<SSL *>(
        api.X509_STORE_CTX_get_ex_data(store, api.SSL_get_ex_data_X509_STORE_CTX_idx()));
    return static_cast<TlsClient *>(api.SSL_get_ex_data(ssl, 0))->refuse(store);
}

int TlsClient::refuse(x509_store_ctx_st *store) {
    // Always the server's own certificate, whichever link of the chain failed:
    // that is what the user sees and accepts.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (m_api.X509_digest(m_api.X509_STORE_CTX_get0_cert(store), m_api.EVP_sha256(), digest,
                          &length) != 1)
        length = 0;
    const QByteArray fingerprint(reinterpret_cast<const char *>(digest), qsizetype(length));
    if (!m_accepted.isEmpty() && fingerprint == m_accepted) {
        m_acceptedUsed = true;
        return 1;
    }
    if (m_verifyError == X509_V_OK) {
        m_verifyError = m_api.X509_STORE_CTX_get_error(store);
        m_fingerprint = fingerprint;
        m_certificate = describe(m_api, m_api.X509_STORE_CTX_get0_cert(store));
    }
    return 0;
}

TlsClient::Step TlsClient::handshake() {
    m_api.ERR_clear_error();
    const int result = m_api.SSL_do_handshake(m_ssl);
    if (result != 1) {
        const int error = m_api.SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return Step::Again;
        fail(QStringLiteral("the handshake failed"));
        return Step::Failed;
    }
    // The callback has refused every failing certificate but the accepted
    // one; checked once more, as nothing may pass unverified.
    if (!m_api.SSL_get0_peer_certificate(m_ssl) ||
        (m_api.SSL_get_verify_result(m_ssl) != X509_V_OK && !m_acceptedUsed)) {
        fail(QStringLiteral("the server's certificate was not verified"));
        return Step::Failed;
    }
    m_established = true;
    return Step::Done;
}

bool TlsClient::fail(const QString &fallback) {
    if (m_verifyError != X509_V_OK) {
        m_error = classify(m_verifyError);
        m_detail = QString::fromLatin1(m_api.X509_verify_cert_error_string(m_verifyError));
        return false;
    }
    m_error = TcpLink::HandshakeFailed;
    m_fingerprint.clear();
    m_certificate = {};
    m_detail = fallback;
    if (const unsigned long error = m_api.ERR_get_error()) {
        char text[256];
        m_api.ERR_error_string_n(error, text, sizeof text);
        m_detail = QString::fromLatin1(text);
    }
    return false;
}

void TlsClient::feed(const char *data, qsizetype size) {
    m_api.BIO_write(m_fromPeer, data, int(size));
}

void TlsClient::takeOutgoing(QByteArray &to) {
    const qsizetype pending = qsizetype(m_api.BIO_ctrl_pending(m_toPeer));
    if (pending <= 0) return;
    const qsizetype at = to.size();
    to.resize(at + pending);
    const int taken = m_api.BIO_read(m_toPeer, to.data() + at, int(pending));
    to.resize(at + qMax(taken, 0));
}

bool TlsClient::read(QByteArray &to) {
    char buffer[16384];
    for (;;) {
        size_t n = 0;
        m_api.ERR_clear_error();
        const int result = m_api.SSL_read_ex(m_ssl, buffer, sizeof buffer, &n);
        if (result == 1) {
            to.append(buffer, qsizetype(n));
            continue;
        }
        const int error = m_api.SSL_get_error(m_ssl, result);
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    }
}

bool TlsClient::write(const char *data, qsizetype size) {
    size_t written = 0;
    m_api.ERR_clear_error();
    // A memory buffer takes everything at once.
    return m_api.SSL_write_ex(m_ssl, data, size_t(size), &written) == 1;
}

void TlsClient::shutdown() {
    m_api.ERR_clear_error();
    m_api.SSL_shutdown(m_ssl);
}
