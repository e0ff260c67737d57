#include "support/smtp_aiosmtpd.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

SmtpAiosmtpd::~SmtpAiosmtpd() {
    stop();
}

SmtpAiosmtpd::Start SmtpAiosmtpd::start(quint16 port, const QStringList &extra) {
    // Debian's interpreter: that is where python3-aiosmtpd lives.
    m_process.setProgram(QStringLiteral("/usr/bin/python3"));
    m_process.setArguments(
        QStringList{QStringLiteral(QUIL_SOURCE_DIR "/tests/support/smtp_sink.py"),
                    QStringLiteral("--port"), QString::number(port), QStringLiteral("--dir"),
                    m_dir.path()} +
        extra);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return Start::Failed;
    }
    QByteArray out;
    while (!out.contains('\n')) {
        if (!m_process.waitForReadyRead(10000)) break;
        out += m_process.readAllStandardOutput();
    }
    if (out.startsWith("ready")) return Start::Ready;
    m_error = QString::fromLatin1(out.trimmed());
    stop();
    return out.startsWith("bind-failed") ? Start::PortUnavailable : Start::Failed;
}

void SmtpAiosmtpd::stop() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.terminate(); // our own child, by its pid
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QJsonObject SmtpAiosmtpd::message(int n, int ms) const {
    const QString path = m_dir.filePath(QString::number(n) + QStringLiteral(".json"));
    if (!QTest::qWaitFor([&] { return QFile::exists(path); }, ms)) return {};
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

QByteArray SmtpAiosmtpd::rawMessage(int n) const {
    QFile f(m_dir.filePath(QString::number(n) + QStringLiteral(".eml")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
