#pragma once
// Certificates for TLS peers on this machine, made with the openssl command
// in a temporary folder: a test CA, and server certificates sharing one key:
//   good      localhost and 127.0.0.1, from the test CA
//   otherhost mail.example.org, from the test CA
//   expired   localhost and 127.0.0.1, from the test CA, a day out of date
//   unknown   localhost and 127.0.0.1, from a CA nobody trusts
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TlsCerts {
  public:
    bool make(); // false, with the reason in error, when openssl fails
    QString caFile() const { return m_dir.filePath(QStringLiteral("ca.crt")); }
    QString keyFile() const { return m_dir.filePath(QStringLiteral("server.key")); }
    QString certFile(const QString &name) const { return m_dir.filePath(name + ".crt"); }
    // SHA-256 of the certificate, raw, as the openssl command reckons it.
    QByteArray fingerprint(const QString &name);
    QString error;

  private:
    QByteArray openssl(const QString &arguments); // split at blanks
    QTemporaryDir m_dir;
};
