#include "support/pop3_dovecot.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {
const char *const DovecotBinary = "/usr/sbin/dovecot";

bool writeText(const QString &path, const QString &text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size();
}
} // namespace

Pop3Dovecot::Pop3Dovecot() {
    // The login processes run as an unprivileged user inside base_dir.
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                            QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                            QFileDevice::ExeGroup);
    for (const char *sub : {"Maildir/cur", "Maildir/new", "Maildir/tmp", "state", "run"})
        QDir(m_dir.path()).mkpath(QString::fromLatin1(sub));
    // Dovecot never opens a mailbox as root: the mail belongs to the system's
    // "mail" user.
    if (const passwd *pw = getpwnam("mail")) {
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
    }
    for (const char *sub : {"Maildir", "Maildir/cur", "Maildir/new", "Maildir/tmp"}) {
        const QByteArray path = QFile::encodeName(m_dir.path() + u'/' + QString::fromLatin1(sub));
        if (::chown(path.constData(), m_uid, m_gid) != 0)
            qWarning("cannot hand %s to the mail user", path.constData());
    }
}

Pop3Dovecot::~Pop3Dovecot() {
    stop();
}

QString Pop3Dovecot::skipReason() const {
    if (geteuid() != 0) return QStringLiteral("Dovecot runs as root here");
    if (!QFile::exists(QString::fromLatin1(DovecotBinary)))
        return QStringLiteral("Dovecot is not installed");
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 110))
        return QStringLiteral("port 110 is taken (run in a private network namespace)");
    return {};
}

bool Pop3Dovecot::start() {
    const QString d = m_dir.path();
    const QString conf = d + QStringLiteral("/dovecot.conf");
    QString addresses = QStringLiteral("127.0.0.1"), locals;
    for (const auto &[address, cert] : m_extraCerts) {
        addresses += QStringLiteral(", ") + address;
        locals += QStringLiteral("local %1 {\n  ssl_cert = <%2\n}\n").arg(address, cert);
    }
    const QString config = QStringLiteral(R"(base_dir = %1/run
state_dir = %1/state
log_path = %1/dovecot.log
protocols = pop3
listen = %6
# A mailbox of a million messages takes more than the default 256 MB.
default_vsz_limit = 2G
%4
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = 1
first_valid_gid = 1
mail_uid = %2
mail_gid = %3
mail_location = maildir:%1/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u %1/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u %1/passwd
}
service pop3-login {
  inet_listener pop3 {
    address = %6
    port = 110
  }
%5}
)")
                               .arg(d)
                               .arg(m_uid)
                               .arg(m_gid)
                               .arg(m_cert.isEmpty() ? QStringLiteral("ssl = no")
                                                     : QStringLiteral("ssl = yes\nssl_cert = <%1\n"
                                                                      "ssl_key = <%2\n")
                                                               .arg(m_cert, m_key) +
                                                           locals)
                               .arg(m_cert.isEmpty() ? QString()
                                                     : QStringLiteral("  inet_listener pop3s {\n"
                                                                      "    address = %1\n"
                                                                      "    port = 995\n"
                                                                      "    ssl = yes\n  }\n")
                                                           .arg(addresses))
                               .arg(addresses);
    if (!writeText(conf, config) ||
        !writeText(d + QStringLiteral("/passwd"),
                   QStringLiteral("%1:{PLAIN}%2:::::%3::\n").arg(user, password, d)))
        return false;
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(QString::fromLatin1(DovecotBinary),
                    {QStringLiteral("-F"), QStringLiteral("-c"), conf});
    if (!m_process.waitForStarted(5000)) return false;
    for (int i = 0; i < 100; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, 110);
        if (probe.waitForConnected(200) && probe.waitForReadyRead(2000) &&
            probe.readAll().startsWith("+OK"))
            return true;
        if (m_process.state() == QProcess::NotRunning) break;
        QThread::msleep(50);
    }
    qWarning("%s", qPrintable(logText()));
    return false;
}

void Pop3Dovecot::stop() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.terminate(); // by its PID; the master takes its children along
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

QStringList Pop3Dovecot::addMessages(int count) {
    // Plain POSIX writes with the sizes in the names, so Dovecot needs not
    // read the files to list them: 100000 messages take seconds. No ":2,"
    // without flags: Dovecot guesses a file's name from its flags, and a
    // miss rescans the whole folder at the first message read of a session.
    QStringList names;
    names.reserve(count);
    for (int i = 0; i < count; ++i) {
        const qint64 n = m_next + 1;
        const QString name =
            addMessage("From: sender@example.org\nSubject: message " + QByteArray::number(n) +
                       "\n\nbody " + QByteArray::number(n) + "\n");
        if (name.isEmpty()) break;
        names << name;
    }
    return names;
}

QString Pop3Dovecot::addMessage(const QByteArray &body) {
    const QByteArray dir = QFile::encodeName(m_dir.path() + QStringLiteral("/Maildir/cur/"));
    const qint64 n = ++m_next;
    const qsizetype lines = body.count('\n');
    const QByteArray name = "17000" + QByteArray::number(n) + ".M" + QByteArray::number(n) +
                            "P1.quiltest,S=" + QByteArray::number(body.size()) +
                            ",W=" + QByteArray::number(body.size() + lines);
    const int fd = ::open((dir + name).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return {};
    const bool ok = ::write(fd, body.constData(), size_t(body.size())) == body.size() &&
                    ::fchown(fd, m_uid, m_gid) == 0;
    ::close(fd);
    return ok ? QString::fromLatin1(name) : QString();
}

bool Pop3Dovecot::addLinkedMessages(int count) {
    const QByteArray dir = QFile::encodeName(m_dir.path() + QStringLiteral("/Maildir/"));
    const QByteArray body = "From: sender@example.org\nSubject: message\n\nbody\n";
    const QByteArray sizes = ",S=" + QByteArray::number(body.size()) +
                             ",W=" + QByteArray::number(body.size() + body.count('\n'));
    const QByteArray source = dir + "tmp/linked";
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        // A file takes some 65,000 links on ext4: a fresh one now and then.
        if (i % 50000 == 0) {
            ::unlink(source.constData());
            const int fd = ::open(source.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            if (fd < 0) return false;
            ok = ::write(fd, body.constData(), size_t(body.size())) == body.size() &&
                 ::fchown(fd, m_uid, m_gid) == 0;
            ::close(fd);
        }
        const qint64 n = ++m_next;
        const QByteArray name = dir + "cur/17000" + QByteArray::number(n) + ".M" +
                                QByteArray::number(n) + "P1.quiltest" + sizes;
        ok = ok && ::link(source.constData(), name.constData()) == 0;
    }
    ::unlink(source.constData());
    return ok;
}

bool Pop3Dovecot::removeMessage(const QString &fileName) {
    return QFile::remove(m_dir.path() + QStringLiteral("/Maildir/cur/") + fileName);
}

QString Pop3Dovecot::logText() const {
    QFile f(m_dir.path() + QStringLiteral("/dovecot.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
