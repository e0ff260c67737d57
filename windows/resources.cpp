#include "windows/resources.h"

#include <QImage>

namespace {
#include "resources/icons/quilmon7400.xpm"
#include "resources/icons/verdisp.xpm"
} // namespace

QIcon programIcon() {
    static const QIcon icon(QPixmap::fromImage(QImage(quilmon7400)));
    return icon;
}

QPixmap versionPicture() {
    return QPixmap::fromImage(QImage(verdisp));
}
