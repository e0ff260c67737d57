#include "platform/folders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace folders {

namespace {

const QString Name = QStringLiteral("quilmon7400");
const QString HelpName = QStringLiteral("quillmon.hlp");

struct Account {
    QByteArray name;
    gid_t gid = 0;
    QByteArray home;
};

Account account() {
    Account a;
    std::vector<char> buf(16384);
    passwd pw, *found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found) {
        a.name = pw.pw_name;
        a.gid = pw.pw_gid;
        a.home = pw.pw_dir;
    }
    return a;
}

// The user private group scheme: a group of the user's name that is the
// user's primary group and lists nobody else.
bool privateGroup(gid_t gid) {
    const Account me = account();
    if (me.name.isEmpty() || me.gid != gid) return false;
    std::vector<char> buf(65536);
    group gr, *found = nullptr;
    if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) != 0 || !found) return false;
    if (me.name != gr.gr_name) return false;
    for (char **member = gr.gr_mem; member && *member; ++member)
        if (me.name != *member) return false;
    return true;
}

bool othersMayWrite(const struct stat &st) {
    if (st.st_mode & S_IWOTH) return true;
    return (st.st_mode & S_IWGRP) && !privateGroup(st.st_gid);
}

// The first folder above `dir` that others may write and that is not sticky:
// they could move `dir` away and put a folder of their own in its place.
// Empty when there is none.
QString exposedParent(const QString &dir) {
    QString path = QFileInfo(dir).canonicalFilePath();
    if (path.isEmpty()) path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    while (path != u'/' && !path.isEmpty()) {
        path = QFileInfo(path).path();
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) != 0) return path;
        if (othersMayWrite(st) && !(st.st_mode & S_ISVTX)) return path;
    }
    return {};
}

bool present(const QString &path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// <prefix>/bin with the help file in <prefix>/share: how a package lays the
// program out, whoever owns the folder (root starting /usr/bin/quilmon7400
// must not fill /usr/bin).
QString installedHelp(const QString &programDir) {
    return QDir::cleanPath(programDir + QStringLiteral("/../share/quilmon7400/") + HelpName);
}

bool installedLayout(const QString &programDir) {
    return QFileInfo(programDir).fileName() == QLatin1String("bin") &&
           QFileInfo(installedHelp(programDir)).isFile();
}

QString home() {
    const QByteArray env = qgetenv("HOME");
    return QFile::decodeName(env.startsWith('/') ? env : account().home);
}

// An XDG base folder: the variable when it holds an absolute path (relative
// ones are to be ignored), else its default under the home folder.
QString baseDir(const char *variable, const QString &fallback) {
    const QByteArray env = qgetenv(variable);
    if (env.startsWith('/')) return QFile::decodeName(env);
    return home() + u'/' + fallback;
}

// Makes `dir` (and what is missing above it) and checks that it is the
// user's own; empty, or the reason it cannot be used.
QString makePrivateFolder(const QString &dir) {
    const QByteArray path = QFile::encodeName(dir);
    QDir().mkpath(QFileInfo(dir).path());
    if (::mkdir(path.constData(), 0700) == 0) {
        ::chmod(path.constData(), 0700); // whatever the umask
    } else if (errno != EEXIST) {
        return QStringLiteral("フォルダを作れません（%1）")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return QStringLiteral("フォルダを調べられません（%1）")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISLNK(st.st_mode)) return QStringLiteral("シンボリックリンクになっています");
    if (!S_ISDIR(st.st_mode)) return QStringLiteral("フォルダではありません");
    if (st.st_uid != ::geteuid()) return QStringLiteral("ほかのユーザーのフォルダです");
    if (othersMayWrite(st)) return QStringLiteral("ほかのユーザーも書き込めるフォルダです");
    if (const QString above = exposedParent(dir); !above.isEmpty())
        return QStringLiteral("上のフォルダ「%1」にほかのユーザーも書き込めます")
            .arg(QDir::toNativeSeparators(above));
    return {};
}

QString helpFor(const QString &programDir) {
    const QString beside = installedHelp(programDir);
    if (QFileInfo(beside).isFile()) return beside;
    QByteArray dirs = qgetenv("XDG_DATA_DIRS");
    if (dirs.isEmpty()) dirs = "/usr/local/share/:/usr/share/";
    for (const QByteArray &d : dirs.split(':')) {
        if (!d.startsWith('/')) continue;
        const QString path = QFile::decodeName(d) + u'/' + Name + u'/' + HelpName;
        if (QFileInfo(path).isFile()) return QDir::cleanPath(path);
    }
    return beside; // the help window then names where it looked
}

mode_t g_userMask = 022;
bool g_maskKept = false;

} // namespace

QString keyringCopiesList() {
    return baseDir("XDG_STATE_HOME", QStringLiteral(".local/state")) + u'/' + Name +
           QStringLiteral("/keyring-copies");
}

void keepFilesPrivate() {
    const mode_t before = ::umask(077);
    if (!std::exchange(g_maskKept, true)) g_userMask = before;
}

bool startAsUser(const QString &program, const QStringList &arguments) {
    // The child takes the mask along at fork, which happens inside the
    // call; the program's own mask is back before anything else runs here.
    const mode_t own = ::umask(g_userMask);
    const bool started = QProcess::startDetached(program, arguments);
    ::umask(own);
    return started;
}

bool writableByOthers(const QString &dir) {
    struct stat st;
    if (::stat(QFile::encodeName(dir).constData(), &st) != 0) return true;
    return othersMayWrite(st);
}

bool portable(const QString &programDir) {
    struct stat st;
    if (::stat(QFile::encodeName(programDir).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    // The password never goes where someone else could swap the file, or
    // the folder.
    if (othersMayWrite(st) || !exposedParent(programDir).isEmpty()) return false;
    if (present(QDir(programDir).filePath(QStringLiteral("quil7400.dat"))))
        return st.st_uid == ::geteuid() || st.st_uid == 0;
    return st.st_uid == ::geteuid() && !installedLayout(programDir);
}

Places locate(const QString &programDir) {
    Places p;
    if (portable(programDir)) {
        p.portable = true;
        p.configDir = p.stateDir = programDir;
        p.helpFile = QDir(programDir).filePath(HelpName);
        return p;
    }
    p.configDir = baseDir("XDG_CONFIG_HOME", QStringLiteral(".config")) + u'/' + Name;
    p.stateDir = baseDir("XDG_STATE_HOME", QStringLiteral(".local/state")) + u'/' + Name;
    p.helpFile = helpFor(programDir);
    for (const QString &dir : {p.configDir, p.stateDir}) {
        const QString why = makePrivateFolder(dir);
        if (why.isEmpty()) continue;
        p.error = QStringLiteral("ファイルを置くフォルダ「%1」は使えません: %2。\n"
                                 "フォルダを確かめてから、もう一度起動してください。")
                      .arg(QDir::toNativeSeparators(dir), why);
        break;
    }
    return p;
}

} // namespace folders
