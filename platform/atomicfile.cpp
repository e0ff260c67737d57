#include "platform/atomicfile.h"

#include <QSaveFile>

bool writeFileAtomically(const QString &path, const QByteArray &bytes,
                         QFileDevice::Permissions permissions) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    // Before the first byte: the settings hold a password in the clear, and a
    // write killed midway must not leave a world-readable temporary file.
    if (!file.setPermissions(permissions)) {
        file.cancelWriting();
        return false;
    }
    // Written through before the commit: Qt's commit ignores a failure of the
    // buffered write it does itself, and a full disk would then rename an
    // empty file over the good one.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
