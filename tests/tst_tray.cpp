// The tray icon and the tray menu: what the icon shows, which clicks open the
// menu, and that a tray host cannot open it behind the program's back.
#include "app/icons.h"
#include "support/programfixture.h"
#include "windows/trayoverlay.h"

#include <QSystemTrayIcon>
#include <QtTest>

namespace {
const QString kTip = QStringLiteral("メールチェックソフトクイルモン7400");

// Whether `color` shows in the icon's top (or bottom) right quarter.
bool marked(const QImage &img, const QColor &color, bool top) {
    const int h = img.height() / 2;
    for (int y = top ? 0 : h; y < (top ? h : img.height()); ++y)
        for (int x = img.width() / 2; x < img.width(); ++x)
            if (img.pixel(x, y) == color.rgb()) return true;
    return false;
}
} // namespace

class TstTray : public QObject {
    Q_OBJECT
  private slots:
    void icon_tipPictureAndPresence();
    void icon_marksAtEverySize();
    void menu_layoutAndCommands();
    void menu_opensOnRightOrLeftClick_data();
    void menu_opensOnRightOrLeftClick();
    void menu_notWhileSettingsVisible();
};

void TstTray::icon_tipPictureAndPresence() {
    Icons icons([] { return false; });
    QSystemTrayIcon *icon = child<QSystemTrayIcon>(&icons, "trayIcon");
    QVERIFY(icon);
    QCOMPARE(icon->toolTip(), kTip);
    QVERIFY(!icon->icon().isNull());
    // No menu of its own: a tray host would open it without asking whether
    // the settings window is open.
    QVERIFY(!icon->contextMenu());

    QVERIFY(!icon->isVisible());
    icons.addTrayIcon();
    QVERIFY(icon->isVisible());
    icons.removeTrayIcon();
    QVERIFY(!icon->isVisible());
}

void TstTray::icon_marksAtEverySize() {
    Icons icons([] { return false; });
    QSystemTrayIcon *tray = child<QSystemTrayIcon>(&icons, "trayIcon");
    icons.setMarks(3, true);
    const QImage three = tray->icon().pixmap(32).toImage();
    for (int s : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QImage img = tray->icon().pixmap(s).toImage();
        QCOMPARE(img.size(), QSize(s, s));
        QVERIFY2(marked(img, trayoverlay::Badge, true) && marked(img, trayoverlay::Warning, false),
                 qPrintable(QString::number(s)));
    }
    icons.setMarks(4, true); // the count is drawn
    QVERIFY(tray->icon().pixmap(32).toImage() != three);
}

void TstTray::menu_layoutAndCommands() {
    Icons icons([] { return false; });
    QCOMPARE(icons.objectName(), QStringLiteral("icons"));
    QCOMPARE(trayMenu()->title(), QStringLiteral("popup"));
    QStringList layout;
    for (QAction *a : trayMenu()->actions())
        layout << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + u'=' + a->text());
    QCOMPARE(layout,
             (QStringList{QStringLiteral("set=設定変更"), QStringLiteral("now=今すぐチェック"),
                          QStringLiteral("-"), QStringLiteral("ver=バージョン情報"),
                          QStringLiteral("help=ヘルプ"), QStringLiteral("-"),
                          QStringLiteral("end=終了")}));
    QVERIFY(!icons.image1().isNull());
    QCOMPARE(icons.image1().availableSizes().value(0), QSize(32, 32));

    QStringList fired;
    connect(&icons, &Icons::setClicked, this, [&] { fired << QStringLiteral("set"); });
    connect(&icons, &Icons::nowClicked, this, [&] { fired << QStringLiteral("now"); });
    connect(&icons, &Icons::verClicked, this, [&] { fired << QStringLiteral("ver"); });
    connect(&icons, &Icons::helpClicked, this, [&] { fired << QStringLiteral("help"); });
    connect(&icons, &Icons::endClicked, this, [&] { fired << QStringLiteral("end"); });
    for (const char *name : {"end", "help", "ver", "now", "set"})
        trayEntry(name)->trigger();
    QCOMPARE(fired,
             (QStringList{QStringLiteral("end"), QStringLiteral("help"), QStringLiteral("ver"),
                          QStringLiteral("now"), QStringLiteral("set")}));
}

void TstTray::menu_opensOnRightOrLeftClick_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("opens");
    QTest::newRow("right click") << int(QSystemTrayIcon::Context) << true;
    QTest::newRow("left click") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
    QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << false;
}

void TstTray::menu_opensOnRightOrLeftClick() {
    QFETCH(int, reason);
    QFETCH(bool, opens);
    QWidget settings; // stands for the hidden settings window
    Icons icons([&settings] { return settings.isVisible(); });
    icons.addTrayIcon();
    emit child<QSystemTrayIcon>(&icons, "trayIcon")
        ->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(trayMenu()->isVisible(), opens);
}

void TstTray::menu_notWhileSettingsVisible() {
    QWidget settings;
    settings.show();
    QVERIFY(QTest::qWaitForWindowExposed(&settings));
    Icons icons([&settings] { return settings.isVisible(); });
    QSystemTrayIcon *tray = child<QSystemTrayIcon>(&icons, "trayIcon");
    icons.addTrayIcon();
    emit tray->activated(QSystemTrayIcon::Context);
    emit tray->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!trayMenu()->isVisible());
    // A menu the desktop opens by itself (StatusNotifierItem) is greyed
    // meanwhile, and an entry chosen anyway does nothing.
    int ends = 0;
    connect(&icons, &Icons::endClicked, this, [&] { ++ends; });
    emit trayMenu()->aboutToShow();
    QVERIFY(!trayEntry("set")->isEnabled() && !trayEntry("end")->isEnabled());
    trayEntry("end")->trigger();
    QCOMPARE(ends, 0);
    bool running = false; // 今すぐチェック waits for 実行 besides
    icons.setCheckAllowed([&running] { return running; });
    settings.hide();
    emit tray->activated(QSystemTrayIcon::Context);
    QVERIFY(trayMenu()->isVisible()); // shown, its entries enabled again
    QVERIFY(trayEntry("set")->isEnabled() && trayEntry("end")->isEnabled());
    QVERIFY(!trayEntry("now")->isEnabled());
    running = true;
    emit trayMenu()->aboutToShow();
    QVERIFY(trayEntry("now")->isEnabled());
    trayEntry("end")->trigger();
    QCOMPARE(ends, 1);
}

QTEST_MAIN(TstTray)
#include "tst_tray.moc"
