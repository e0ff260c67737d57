#include "platform/autostart.h"

#include "platform/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <unistd.h>

namespace autostart {

QString entryPath() {
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty()) return {};
        config = QDir(home).filePath(QStringLiteral(".config"));
    }
    return QDir(config).filePath(QStringLiteral("autostart/quilmon7400.desktop"));
}

QString execLine(const QString &program) {
    // Exec: an argument with a reserved character is double-quoted, and
    // inside the quotes " ` $ \ take a backslash; "%" is written "%%".
    const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    QString arg;
    bool quote = false;
    for (QChar c : program) {
        if (c.category() == QChar::Other_Control) return {};
        if (reserved.contains(c)) quote = true;
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') arg += u'\\';
        arg += c == u'%' ? QStringLiteral("%%") : QString(c);
    }
    if (quote) arg = u'"' + arg + u'"';
    // The value itself is a string: its backslashes are escaped once more.
    arg.replace(u'\\', QStringLiteral("\\\\"));
    return arg;
}

QByteArray entry(const QString &program) {
    const QString exec = execLine(program);
    if (exec.isEmpty()) return {};
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=クイルモン7400\n"
                          "Comment=POP3 メールチェッカー\n"
                          "Exec=%1\n"
                          "Icon=quilmon7400\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(exec)
        .toUtf8();
}

bool enabled(const QString &program) {
    const QString path = entryPath();
    if (path.isEmpty()) return false;
    const std::optional<QByteArray> bytes = readRegularFile(path, 1 << 16);
    if (!bytes) return false;
    const QString exec = execLine(program);
    bool inEntry = false, starts = false;
    for (const QString &raw : QString::fromUtf8(*bytes).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) inEntry = line == u"[Desktop Entry]";
        if (!inEntry) continue;
        if (line == u"Hidden=true") return false; // the user turned it off
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && line.first(eq).trimmed() == u"Exec")
            starts = line.mid(eq + 1).trimmed() == exec;
    }
    return starts;
}

bool enable(const QString &program) {
    const QByteArray bytes = entry(program);
    const QString path = entryPath();
    if (bytes.isEmpty() || path.isEmpty()) return false;
    if (!QDir().mkpath(QFileInfo(path).path())) return false;
    return writeFileAtomically(path, bytes);
}

bool disable() {
    const QString path = entryPath();
    if (path.isEmpty()) return false;
    // unlink removes a link itself, never what it points to.
    return ::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT;
}

} // namespace autostart
