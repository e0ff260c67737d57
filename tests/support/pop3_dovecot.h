#pragma once
// A real Dovecot POP3 server on 127.0.0.1:110, started from a config in a
// temporary folder, with one plaintext user and a maildir filled directly.
// Needs root and a free port 110 (the tests run in a private network
// namespace); skipReason() says why not.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class Pop3Dovecot {
  public:
    Pop3Dovecot();
    ~Pop3Dovecot();

    QString skipReason() const;
    // Before start: STLS on 110 and POP3S on 995 with this certificate.
    void useTls(const QString &certFile, const QString &keyFile) {
        m_cert = certFile;
        m_key = keyFile;
    }
    // Before start: also listens on another loopback address, where the
    // secure listeners show this certificate (same key) instead.
    void useTlsAt(const QString &address, const QString &certFile) {
        m_extraCerts << qMakePair(address, certFile);
    }
    // Before start: XOAUTH2 and OAUTHBEARER too, the tokens checked by the
    // authorization server's introspection (trusting caFile).
    void useOAuth(const QString &introspectionUrl, const QString &caFile) {
        m_introspection = introspectionUrl;
        m_oauthCa = caFile;
    }
    bool start();
    void stop();

    // Writes count small messages into the maildir; returns their file names.
    QStringList addMessages(int count);
    // One message of these bytes (LF line ends); its file name, empty on failure.
    QString addMessage(const QByteArray &bytes);
    // Adds count messages that are hard links of one file: a million take
    // seconds where separate files take minutes. They all read the same.
    bool addLinkedMessages(int count);
    bool removeMessage(const QString &fileName);

    const QString user = QStringLiteral("taro");
    const QString password = QStringLiteral("secret");
    QString logText() const;

  private:
    QTemporaryDir m_dir;
    QProcess m_process;
    qint64 m_next = 0;
    uint m_uid = 8;
    uint m_gid = 8;
    QString m_cert, m_key;
    QString m_introspection, m_oauthCa;
    QString m_oauthCaCopy; // where Dovecot's unprivileged auth process can read it
    QList<QPair<QString, QString>> m_extraCerts;
};
