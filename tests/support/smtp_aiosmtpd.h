#pragma once
// A real SMTP server for the tests: aiosmtpd on 127.0.0.1, started and
// stopped by the test (by its own process), storing what it receives.
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class SmtpAiosmtpd {
  public:
    enum class Start { Ready, PortUnavailable, Failed };

    SmtpAiosmtpd() = default;
    ~SmtpAiosmtpd();
    // extra: the sink's options for TLS and AUTH (see smtp_sink.py).
    Start start(quint16 port = 25, const QStringList &extra = {});
    void stop();
    // The n-th message received (1-based), as the email library read it;
    // waits up to `ms` for it. Empty when none came.
    QJsonObject message(int n, int ms = 5000) const;
    QByteArray rawMessage(int n) const;
    QString errorText() const { return m_error; }

  private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_error;
};
