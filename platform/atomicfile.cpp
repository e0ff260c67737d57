#include "platform/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const char *data, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

mode_t modeOf(QFileDevice::Permissions p) {
    mode_t m = 0;
    if (p & QFileDevice::ReadOwner) m |= S_IRUSR;
    if (p & QFileDevice::WriteOwner) m |= S_IWUSR;
    if (p & QFileDevice::ReadGroup) m |= S_IRGRP;
    if (p & QFileDevice::WriteGroup) m |= S_IWGRP;
    if (p & QFileDevice::ReadOther) m |= S_IROTH;
    if (p & QFileDevice::WriteOther) m |= S_IWOTH;
    return m;
}

// Opened without following a link and without blocking on a FIFO; anything
// but a regular file is refused.
int openRegular(const QString &path, int flags, mode_t mode = 0) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool writeFileAtomically(const QString &path, const QByteArray &bytes,
                         QFileDevice::Permissions permissions) {
    const QByteArray target = QFile::encodeName(path);
    QByteArray temp = target + ".XXXXXX";
    // Made 0600 by mkostemp, before the first byte: the settings hold a
    // password in the clear.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    // Written through before the rename: a full disk must never put a short
    // file in place of the good one.
    bool ok = ::fchmod(fd, modeOf(permissions)) == 0 &&
              writeAll(fd, bytes.constData(), bytes.size()) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    // rename replaces a planted link itself, never the file it points to.
    if (ok && ::rename(temp.constData(), target.constData()) == 0) return true;
    ::unlink(temp.constData());
    return false;
}

std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes) {
    const int fd = openRegular(path, O_RDONLY);
    if (fd < 0) return std::nullopt;
    QByteArray bytes;
    // Room for the whole file at once: a large one grown piece by piece
    // would leave its earlier copies with the allocator.
    if (struct stat st; ::fstat(fd, &st) == 0 && st.st_size > 0)
        bytes.reserve(qsizetype(qMin<qint64>(st.st_size, maxBytes)));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || bytes.size() + n > maxBytes) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

bool appendToFile(const QString &path, const QByteArray &bytes) {
    const int fd = openRegular(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0) return false;
    const bool ok = writeAll(fd, bytes.constData(), bytes.size());
    return ::close(fd) == 0 && ok;
}

void removeLeftovers(const QString &path) {
    const QFileInfo target(path);
    const QDir dir = target.dir();
    const QString prefix = target.fileName() + u'.';
    const QStringList names = dir.entryList({prefix + QStringLiteral("??????")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QByteArray file = QFile::encodeName(dir.filePath(name));
        struct stat st;
        // Only a regular file of ours; a link is removed itself either way.
        if (::lstat(file.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlink(file.constData());
    }
}
