#include "windows/topmost.h"

#include <QWidget>
#include <QtGlobal>

void SetWindowPos(QWidget *window) {
    if (!window || isTopmost(window)) return;
    const bool wasVisible = window->isVisible();
    const QPoint pos = window->pos();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Changing the flags hides a shown window; put it back where it was.
    if (wasVisible) {
        window->move(pos);
        window->show();
    }
}

bool isTopmost(const QWidget *window) {
    return window && window->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

bool preferX11(bool platformChosen, bool waylandSession, bool x11Display) {
    return !platformChosen && waylandSession && x11Display;
}

void preferX11UnderWayland() {
    if (preferX11(!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"),
                  !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"),
                  !qEnvironmentVariableIsEmpty("DISPLAY")))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb"));
}
