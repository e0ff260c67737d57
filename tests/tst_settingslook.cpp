// The settings window as drawn: captions fit their controls, frame lines and
// frame captions stay clear of the controls inside, the password shows "*".
#include "support/programfixture.h"

#include "windows/twips.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTest>

namespace {
// The frame's caption, as the style places it.
QRect captionRect(QGroupBox *box) {
    QStyleOptionGroupBox opt;
    opt.initFrom(box);
    opt.text = box->title();
    opt.lineWidth = 1;
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    opt.textAlignment = box->alignment();
    return box->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, box);
}

// The row where the frame's top line is drawn: the frame alone is painted
// on a transparent image, and its right part holds nothing but the line.
int topLineRow(QGroupBox *box) {
    QImage img(box->size(), QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    box->render(&img, QPoint(), QRegion(), QWidget::RenderFlags());
    const int x = box->width() - 5;
    for (int y = 0; y < img.height(); ++y)
        if (qAlpha(img.pixel(x, y)) > 0) return y;
    return -1;
}

QString captionOf(QWidget *w) {
    if (auto *b = qobject_cast<QAbstractButton *>(w)) return b->text();
    if (auto *l = qobject_cast<QLabel *>(w)) return l->text();
    return {};
}

// The room the style leaves for a control's caption.
QRect captionRoom(QWidget *w) {
    if (auto *b = qobject_cast<QAbstractButton *>(w)) {
        QStyleOptionButton opt;
        opt.initFrom(b);
        opt.text = b->text();
        const QStyle::SubElement e = qobject_cast<QRadioButton *>(w)
                                         ? QStyle::SE_RadioButtonContents
                                     : qobject_cast<QCheckBox *>(w) ? QStyle::SE_CheckBoxContents
                                                                    : QStyle::SE_PushButtonContents;
        return b->style()->subElementRect(e, &opt, b);
    }
    return w->contentsRect();
}
} // namespace

class TestSettingsLook : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void everyCaptionFitsItsControl();
    void framesStayClearOfTheirControls();
    void passwordShowsStars();
};

void TestSettingsLook::initTestCase() {
    // The fonts main() sets up.
    installProgramLook();
}

void TestSettingsLook::everyCaptionFitsItsControl() {
    ProgramFixture f;
    QVERIFY(f.start());
    MainWindow &w = f.w();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    int checked = 0;
    for (QWidget *c : w.findChildren<QWidget *>()) {
        const QString caption = captionOf(c);
        if (caption.isEmpty() || qobject_cast<QGroupBox *>(c)) continue;
        ++checked;
        const QRect room = captionRoom(c);
        const int need = c->fontMetrics().horizontalAdvance(caption);
        QVERIFY2(need <= room.width(), qPrintable(QStringLiteral("%1 \"%2\" needs %3 px, has %4")
                                                      .arg(c->objectName(), caption)
                                                      .arg(need)
                                                      .arg(room.width())));
        QVERIFY2(c->fontMetrics().height() <= c->height(),
                 qPrintable(c->objectName() + QStringLiteral(" is shorter than its text")));
    }
    QVERIFY(checked >= 20);
}

void TestSettingsLook::framesStayClearOfTheirControls() {
    ProgramFixture f;
    QVERIFY(f.start());
    MainWindow &w = f.w();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (QGroupBox *box : w.findChildren<QGroupBox *>()) {
        const QRect caption = captionRect(box);
        const int line = topLineRow(box);
        QVERIFY2(line >= 0, qPrintable(box->objectName() + QStringLiteral(" draws no line")));
        for (QWidget *c : box->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            const QString what = box->objectName() + u'/' + c->objectName();
            QVERIFY2(!c->geometry().intersects(caption),
                     qPrintable(what + QStringLiteral(" covers the frame's caption")));
            QVERIFY2(
                c->geometry().top() > line,
                qPrintable(what + QStringLiteral(" covers the frame's line at y=%1").arg(line)));
        }
    }
}

void TestSettingsLook::passwordShowsStars() {
    ProgramFixture f;
    QVERIFY(f.start());
    MainWindow &w = f.w();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QLineEdit *password = f.ui().Text2;
    password->setText(QStringLiteral("secret"));
    QCOMPARE(password->displayText(), QStringLiteral("******"));
}

QTEST_MAIN(TestSettingsLook)
#include "tst_settingslook.moc"
