#include "windows/trayoverlay.h"

#include <QFont>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// The sizes tray hosts ask for, from a 16-pixel panel to a HiDPI dock.
const QList<QSize> Sizes = {{16, 16}, {22, 22}, {24, 24},   {32, 32},
                            {48, 48}, {64, 64}, {128, 128}, {256, 256}};

class OverlayEngine : public QIconEngine {
  public:
    OverlayEngine(const QIcon &base, int unread, bool failed)
        : m_base(base), m_unread(unread), m_failed(failed) {}

    void paint(QPainter *p, const QRect &rect, QIcon::Mode mode, QIcon::State state) override {
        // The program icon filling the size asked for: whole multiples keep
        // its pixels sharp, other sizes are filtered, as in the icon theme.
        const QPixmap base = m_base.pixmap(QSize(256, 256), mode, state);
        p->save();
        p->setRenderHint(QPainter::SmoothPixmapTransform,
                         base.width() == 0 || rect.width() % base.width() != 0);
        p->drawPixmap(rect, base);
        p->restore();
        const qreal s = qMin(rect.width(), rect.height());
        const qreal mark = s / 2; // each mark takes a quarter of the icon
        const qreal pen = qMax<qreal>(1, s / 16);
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        p->translate(rect.topLeft());
        if (m_failed) warning(p, s, mark, pen);
        // A digit stays readable down to a 16-pixel tray.
        if (m_unread > 0) badge(p, s, qMax<qreal>(mark, qMin<qreal>(10, s)), pen);
        p->restore();
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(), size), mode, state);
        return pm;
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return Sizes; }
    QIconEngine *clone() const override { return new OverlayEngine(*this); }
    QString key() const override { return QStringLiteral("quiloverlay"); }

  private:
    void badge(QPainter *p, qreal s, qreal d, qreal pen) const {
        const QString text = m_unread > 99 ? QStringLiteral("99+") : QString::number(m_unread);
        // Wider than a circle for more digits, never wider than the icon.
        const qreal w = qMin(s, d + (text.size() - 1) * d * 0.45);
        const QRectF r(s - w + pen / 2, pen / 2, w - pen, d - pen);
        p->setPen(QPen(Qt::white, pen));
        p->setBrush(trayoverlay::Badge);
        p->drawRoundedRect(r, r.height() / 2, r.height() / 2);
        QFont f = p->font();
        f.setBold(true);
        f.setPixelSize(qMax(6, int(d * 0.72)));
        p->setFont(f);
        p->setPen(Qt::white);
        p->drawText(r, Qt::AlignCenter, text);
    }

    void warning(QPainter *p, qreal s, qreal d, qreal pen) const {
        const QRectF r(s - d, s - d, d, d);
        QPainterPath triangle;
        triangle.moveTo(r.center().x(), r.top() + pen / 2);
        triangle.lineTo(r.right() - pen / 2, r.bottom() - pen / 2);
        triangle.lineTo(r.left() + pen / 2, r.bottom() - pen / 2);
        triangle.closeSubpath();
        p->setPen(QPen(QColor(0x40, 0x30, 0x00), pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p->setBrush(trayoverlay::Warning);
        p->drawPath(triangle);
        // The exclamation mark: a stroke and a dot.
        const qreal x = r.center().x();
        p->setPen(QPen(Qt::black, qMax<qreal>(1, d / 8), Qt::SolidLine, Qt::RoundCap));
        p->drawLine(QPointF(x, r.top() + d * 0.38), QPointF(x, r.top() + d * 0.64));
        p->drawPoint(QPointF(x, r.top() + d * 0.8));
    }

    QIcon m_base;
    int m_unread;
    bool m_failed;
};

} // namespace

QIcon overlaidIcon(const QIcon &base, int unread, bool failed) {
    return QIcon(new OverlayEngine(base, unread, failed));
}
