#include "platform/twips.h"

#include <QApplication>

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

int tw(int twips, qreal dpi) {
    return int(std::lround(twips * dpi / 1440.0));
}

int tw(int twips) {
    const QScreen *screen = QGuiApplication::primaryScreen();
    return tw(twips, screen ? screen->logicalDotsPerInchY() : 96.0);
}

QRect twRect(int left, int top, int width, int height) {
    return QRect(tw(left), tw(top), tw(width), tw(height));
}

QSize twSize(int width, int height) {
    return QSize(tw(width), tw(height));
}

void centreOnScreen(QWidget *window) {
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

void installFontSubstitutions() {
    // fontconfig does not know the Windows names; IPA fonts have close widths.
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
}

void installProgramLook() {
    installFontSubstitutions();
    QApplication::setFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 9));
}

QString frameStyleSheet() {
    return QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0 2px; }");
}
