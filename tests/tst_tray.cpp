// The tray icon and the tray menu: what the icon shows, which clicks open the
// menu, and that a tray host cannot open it behind the program's back.
#include "app/icons.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QtTest>

namespace {
const QString kTip = QStringLiteral("メールチェックソフトクイルモン7400");
} // namespace

class TstTray : public QObject {
    Q_OBJECT
  private slots:
    void icon_tipPictureAndPresence();
    void menu_layoutAndCommands();
    void menu_opensOnRightOrLeftClick_data();
    void menu_opensOnRightOrLeftClick();
    void menu_notWhileSettingsVisible();
};

void TstTray::icon_tipPictureAndPresence() {
    Icons icons([] { return false; });
    QSystemTrayIcon *icon = icons.tray;
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

void TstTray::menu_layoutAndCommands() {
    Icons icons([] { return false; });
    QCOMPARE(icons.objectName(), QStringLiteral("icons"));
    QCOMPARE(icons.menuup->objectName(), QStringLiteral("menuup"));
    QCOMPARE(icons.menuup->title(), QStringLiteral("popup"));
    QStringList layout;
    for (QAction *a : icons.menuup->actions())
        layout << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + u'=' + a->text());
    QCOMPARE(layout,
             (QStringList{QStringLiteral("set=設定変更"), QStringLiteral("-"),
                          QStringLiteral("ver=バージョン情報"), QStringLiteral("help=ヘルプ"),
                          QStringLiteral("-"), QStringLiteral("end=終了")}));
    QVERIFY(!icons.Image1.isNull());
    QCOMPARE(icons.Image1.availableSizes().value(0), QSize(32, 32));

    QStringList fired;
    connect(&icons, &Icons::setClicked, this, [&] { fired << QStringLiteral("set"); });
    connect(&icons, &Icons::verClicked, this, [&] { fired << QStringLiteral("ver"); });
    connect(&icons, &Icons::helpClicked, this, [&] { fired << QStringLiteral("help"); });
    connect(&icons, &Icons::endClicked, this, [&] { fired << QStringLiteral("end"); });
    icons.end->trigger();
    icons.help->trigger();
    icons.ver->trigger();
    icons.set->trigger();
    QCOMPARE(fired, (QStringList{QStringLiteral("end"), QStringLiteral("help"),
                                 QStringLiteral("ver"), QStringLiteral("set")}));
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
    int opened = 0;
    icons.popupMenu = [&](QMenu *menu, const QPoint &) {
        QCOMPARE(menu, icons.menuup);
        ++opened;
    };
    icons.addTrayIcon();
    emit icons.tray->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(opened, opens ? 1 : 0);
}

void TstTray::menu_notWhileSettingsVisible() {
    QWidget settings;
    settings.show();
    QVERIFY(QTest::qWaitForWindowExposed(&settings));
    Icons icons([&settings] { return settings.isVisible(); });
    int opened = 0;
    icons.popupMenu = [&](QMenu *, const QPoint &) { ++opened; };
    icons.addTrayIcon();
    emit icons.tray->activated(QSystemTrayIcon::Context);
    emit icons.tray->activated(QSystemTrayIcon::Trigger);
    QCOMPARE(opened, 0);
    // A menu the desktop opens by itself (StatusNotifierItem) is greyed
    // meanwhile, and an entry chosen anyway does nothing.
    int ends = 0;
    connect(&icons, &Icons::endClicked, this, [&] { ++ends; });
    emit icons.menuup->aboutToShow();
    QVERIFY(!icons.set->isEnabled() && !icons.end->isEnabled());
    icons.end->trigger();
    QCOMPARE(ends, 0);
    settings.hide();
    emit icons.tray->activated(QSystemTrayIcon::Context);
    QCOMPARE(opened, 1);
    emit icons.menuup->aboutToShow();
    QVERIFY(icons.set->isEnabled() && icons.end->isEnabled());
    icons.end->trigger();
    QCOMPARE(ends, 1);
}

QTEST_MAIN(TstTray)
#include "tst_tray.moc"
