#include "support/tlscerts.h"

#include <QProcess>

QByteArray TlsCerts::openssl(const QString &arguments) {
    if (!error.isEmpty()) return {};
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(QStringLiteral("openssl"), arguments.split(u' '));
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        error = arguments + ": " + QString::fromLocal8Bit(process.readAllStandardError());
    return process.readAllStandardOutput();
}

bool TlsCerts::make() {
    // EC keys are made in milliseconds, RSA ones take far longer.
    const QString ca = QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                                      "-nodes -days 30 -subj /CN=");
    const QString local =
        QStringLiteral("/CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    const QString leaf = QStringLiteral("req -x509 -key server.key -days 30 "
                                        "-addext basicConstraints=critical,CA:FALSE -subj ");
    openssl(ca + "test-ca -keyout ca.key -out ca.crt");
    openssl(ca + "stranger-ca -keyout stranger.key -out stranger.crt");
    openssl(
        QStringLiteral("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out server.key"));
    openssl(leaf + local + " -CA ca.crt -CAkey ca.key -out good.crt");
    openssl(leaf + "/CN=mail.example.org -addext subjectAltName=DNS:mail.example.org"
                   " -CA ca.crt -CAkey ca.key -out otherhost.crt");
    openssl(leaf + local + " -CA stranger.crt -CAkey stranger.key -out unknown.crt");
    // `req` refuses a validity that has ended; `x509 -days -1` gives one that
    // ended a day before it began.
    openssl("req -new -key server.key -out local.csr -subj " + local);
    openssl(QStringLiteral("x509 -req -in local.csr -copy_extensions copy -CA ca.crt -CAkey ca.key "
                           "-days -1 -out expired.crt"));
    return error.isEmpty();
}

QByteArray TlsCerts::fingerprint(const QString &name) {
    // "sha256 Fingerprint=AB:CD:..."
    const QByteArray line = openssl("x509 -noout -fingerprint -sha256 -in " + name + ".crt");
    return QByteArray::fromHex(line.mid(line.indexOf('=') + 1));
}
