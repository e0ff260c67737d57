#pragma once
// How a mail dialogue is secured: the settings, the sessions and the link
// all speak these, and none of them needs the others for it.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// How a mail dialogue is carried: in the clear, upgraded by STLS/STARTTLS on
// the plain link, or TLS from the first byte.
enum class LinkSecurity : qint8 { None, StartTls, Tls };

struct TlsOptions {
    QString peerName; // checked against the certificate; empty: the host connected to
    QString caFile;   // PEM certificates to trust; empty: the system's trust store
    // The SHA-256 fingerprint (raw, or hex with or without colons) of one
    // certificate the user has accepted although it fails verification.
    QByteArray acceptedFingerprint;
};

// What a refused certificate says of itself, for the user deciding on it.
struct CertificateInfo {
    QString subject;
    QStringList altNames; // DNS names and addresses
    QString issuer;
    QDateTime notBefore, notAfter; // UTC
    bool operator==(const CertificateInfo &) const = default;
};
