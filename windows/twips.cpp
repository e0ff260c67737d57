#include "windows/twips.h"

#include <QApplication>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QProxyStyle>
#include <QScreen>
#include <QStyleOptionGroupBox>
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

namespace {

// The look the windows' layouts assume: frame lines run through the middle
// of their captions (Qt's styles draw them below the caption, across the
// first row of controls), and the password box shows "*". A proxy over the
// desktop's own style rather than a style sheet, which would re-polish every
// control and cost milliseconds when each window is built.
class ProgramStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl sub,
                         const QWidget *widget) const override {
        const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !box)
            return QProxyStyle::subControlRect(control, option, sub, widget);
        const QRect r = box->rect;
        const int h = box->fontMetrics.height();
        switch (sub) {
        case SC_GroupBoxLabel:
            if (box->text.isEmpty()) return {};
            return {r.left() + kCaptionLeft, r.top(),
                    box->fontMetrics.horizontalAdvance(box->text) + 2 * kCaptionPad, h};
        case SC_GroupBoxFrame:
            return r.adjusted(0, h / 2, 0, 0);
        case SC_GroupBoxContents:
            return r.adjusted(1, h, -1, -1);
        default:
            return QProxyStyle::subControlRect(control, option, sub, widget);
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                            QPainter *painter, const QWidget *widget) const override {
        const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !box) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const QRectF frame = subControlRect(control, box, SC_GroupBoxFrame, widget);
        const QRect caption = subControlRect(control, box, SC_GroupBoxLabel, widget);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setPen(box->palette.color(QPalette::Mid));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(frame.adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
        if (!caption.isEmpty()) {
            painter->fillRect(caption, box->palette.window());
            proxy()->drawItemText(painter, caption.adjusted(kCaptionPad, 0, -kCaptionPad, 0),
                                  Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic,
                                  box->palette, box->state & State_Enabled, box->text,
                                  QPalette::WindowText);
        }
        painter->restore();
    }

  private:
    static constexpr int kCaptionLeft = 6; // the caption's gap, from the frame's left edge
    static constexpr int kCaptionPad = 2;  // blank either side of the caption text
};

} // namespace

void installProgramLook() {
    installFontSubstitutions();
    QApplication::setFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 9));
    QApplication::setStyle(new ProgramStyle);
}
