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
                          "Exec=%1 --run\n"
                          "Icon=quilmon7400\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(exec)
        .toUtf8();
}

namespace {
// The entry's Exec value; empty without an entry, or when the user turned
// it off (Hidden).
QString entryExec() {
    const QString path = entryPath();
    if (path.isEmpty()) return {};
    const std::optional<QByteArray> bytes = readRegularFile(path, 1 << 16);
    if (!bytes) return {};
    bool inEntry = false;
    QString exec;
    for (const QString &raw : QString::fromUtf8(*bytes).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) inEntry = line == u"[Desktop Entry]";
        if (!inEntry) continue;
        if (line == u"Hidden=true") return {};
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && line.first(eq).trimmed() == u"Exec") exec = line.mid(eq + 1).trimmed();
    }
    return exec;
}
} // namespace

bool enabled(const QString &program) {
    const QString exec = entryExec(), own = execLine(program);
    return !exec.isEmpty() && !own.isEmpty() &&
           (exec == own || exec == own + QStringLiteral(" --run"));
}

bool outdated(const QString &program) {
    const QString own = execLine(program);
    return !own.isEmpty() && entryExec() == own;
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
