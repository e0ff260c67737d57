// The tray icon layer and the tray menu: the record the icon is added with,
// which notifications open the menu, and that a tray host cannot bypass that.
#include "app/icons.h"
#include "platform/resources.h"
#include "platform/trayicon.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

namespace {
const QString kTip = QStringLiteral("メールチェックソフトクイルモン7400");

quint32 le32(const QByteArray &b, int at) {
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(b.constData()) + at);
}

QSystemTrayIcon *onlyTrayIcon() {
    const auto icons = qApp->findChildren<QSystemTrayIcon *>();
    return icons.size() == 1 ? icons.first() : nullptr;
}
} // namespace

class TstTray : public QObject {
    Q_OBJECT
  private slots:
    void record_bytes();
    void record_longTipKeepsTerminator();
    void shellNotify_addDeleteAndTip();
    void shellNotify_deliversCodesOnlyWhilePresent();
    void menu_layoutAndCommands();
    void menu_opensOnRightPressAndLeftRelease_data();
    void menu_opensOnRightPressAndLeftRelease();
    void menu_notWhileSettingsVisible();
    void menu_letsEventsRunFirst();
    void menu_trayActivationsReachHandler_data();
    void menu_trayActivationsReachHandler();
};

void TstTray::record_bytes() {
    const NOTIFYICONDATAA d = makeTrayIconData(0x1234, 0x5678, kTip);
    const QByteArray b = recordBytes(d);
    QCOMPARE(b.size(), 88);
    QCOMPARE(le32(b, 0), 88u);
    QCOMPARE(le32(b, 4), 0x1234u);
    QCOMPARE(le32(b, 8), 1u);
    QCOMPARE(le32(b, 12), 7u);
    QCOMPARE(le32(b, 16), 512u);
    QCOMPARE(le32(b, 20), 0x5678u);
    // 15 double-byte characters, "7400", then blanks up to 32 characters.
    const QByteArray tip = b.mid(24, 64);
    QCOMPARE(tip.left(4), QByteArray("\x83\x81\x81\x5B")); // メー
    QCOMPARE(tip.mid(30, 4), QByteArray("7400"));
    QCOMPARE(tip.mid(34, 13), QByteArray(13, ' '));
    QCOMPARE(tip.mid(47), QByteArray(17, '\0'));
    // The user sees the tip without the padding.
    QCOMPARE(tipText(d), kTip);
}

void TstTray::record_longTipKeepsTerminator() {
    const NOTIFYICONDATAA d = makeTrayIconData(1, 1, QString(40, QChar(u'あ')));
    QCOMPARE(d.szTip[63], '\0');
    // 63 bytes hold 31 whole characters; the half character left is not shown as one.
    QVERIFY(tipText(d).startsWith(QString(31, QChar(u'あ'))));
}

void TstTray::shellNotify_addDeleteAndTip() {
    const quint32 hWnd = registerTrayWindow([](int) {});
    const quint32 hIcon = registerTrayIcon(programIcon());
    const NOTIFYICONDATAA d = makeTrayIconData(hWnd, hIcon, kTip);

    QVERIFY(Shell_NotifyIconA(NIM_ADD, &d));
    QVERIFY(trayIconPresent(hWnd, 1));
    QVERIFY(!Shell_NotifyIconA(NIM_ADD, &d)); // one icon per (window, id)
    QSystemTrayIcon *icon = onlyTrayIcon();
    QVERIFY(icon);
    QCOMPARE(icon->toolTip(), kTip);
    QVERIFY(!icon->icon().isNull());
    // No menu of its own: a tray host would open it without asking the handler.
    QVERIFY(!icon->contextMenu());

    NOTIFYICONDATAA del{};
    del.cbSize = 88;
    del.hWnd = hWnd;
    del.uID = 1;
    QVERIFY(Shell_NotifyIconA(NIM_DELETE, &del));
    QVERIFY(!trayIconPresent(hWnd, 1));
    QVERIFY(qApp->findChildren<QSystemTrayIcon *>().isEmpty());
    QVERIFY(!Shell_NotifyIconA(NIM_DELETE, &del));

    // Wrong record size, unknown window: refused, nothing added.
    NOTIFYICONDATAA bad = d;
    bad.cbSize = 504;
    QVERIFY(!Shell_NotifyIconA(NIM_ADD, &bad));
    bad = makeTrayIconData(0xdead, hIcon, kTip);
    QVERIFY(!Shell_NotifyIconA(NIM_ADD, &bad));
    QVERIFY(qApp->findChildren<QSystemTrayIcon *>().isEmpty());
    unregisterTrayWindow(hWnd);
}

void TstTray::shellNotify_deliversCodesOnlyWhilePresent() {
    QList<int> codes;
    const quint32 hWnd = registerTrayWindow([&codes](int code) { codes << code; });
    NOTIFYICONDATAA d = makeTrayIconData(hWnd, 0, kTip);
    simulateTrayNotification(hWnd, 1, WM_RBUTTONDOWN);
    QVERIFY(codes.isEmpty());

    QVERIFY(Shell_NotifyIconA(NIM_ADD, &d));
    QSystemTrayIcon *icon = onlyTrayIcon();
    QVERIFY(icon);
    emit icon->activated(QSystemTrayIcon::Context);
    emit icon->activated(QSystemTrayIcon::Trigger);
    emit icon->activated(QSystemTrayIcon::DoubleClick);
    QCOMPARE(codes, (QList<int>{516, 514, 515}));

    QVERIFY(Shell_NotifyIconA(NIM_DELETE, &d));
    simulateTrayNotification(hWnd, 1, WM_RBUTTONDOWN);
    QCOMPARE(codes.size(), 3);
    unregisterTrayWindow(hWnd);
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

void TstTray::menu_opensOnRightPressAndLeftRelease_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("opens");
    QTest::newRow("right press") << 516 << true;
    QTest::newRow("left release") << 514 << true;
    QTest::newRow("left press") << 513 << false;
    QTest::newRow("right release") << 517 << false;
    QTest::newRow("left double") << 515 << false;
    QTest::newRow("right double") << 518 << false;
    QTest::newRow("move") << 512 << false;
    QTest::newRow("middle press") << 519 << false;
}

void TstTray::menu_opensOnRightPressAndLeftRelease() {
    QFETCH(int, code);
    QFETCH(bool, opens);
    QWidget settings; // stands for the hidden settings window
    Icons icons([&settings] { return settings.isVisible(); });
    int opened = 0;
    icons.popupMenu = [&](QMenu *menu, const QPoint &) {
        QCOMPARE(menu, icons.menuup);
        ++opened;
    };
    icons.trayNotification(code);
    QCOMPARE(opened, opens ? 1 : 0);
}

void TstTray::menu_notWhileSettingsVisible() {
    QWidget settings;
    settings.show();
    QVERIFY(QTest::qWaitForWindowExposed(&settings));
    Icons icons([&settings] { return settings.isVisible(); });
    int opened = 0;
    icons.popupMenu = [&](QMenu *, const QPoint &) { ++opened; };
    icons.trayNotification(516);
    icons.trayNotification(514);
    QCOMPARE(opened, 0);
    settings.hide();
    icons.trayNotification(516);
    QCOMPARE(opened, 1);
}

void TstTray::menu_letsEventsRunFirst() {
    QWidget settings;
    Icons icons([&settings] { return settings.isVisible(); });
    bool ranBeforeMenu = false;
    bool pending = false;
    icons.popupMenu = [&](QMenu *, const QPoint &) { ranBeforeMenu = pending; };
    QTimer::singleShot(0, this, [&] { pending = true; });
    icons.trayNotification(516);
    QVERIFY(ranBeforeMenu);

    // Events that bring the settings window back keep the menu shut.
    int opened = 0;
    icons.popupMenu = [&](QMenu *, const QPoint &) { ++opened; };
    QTimer::singleShot(0, &settings, [&] { settings.show(); });
    icons.trayNotification(516);
    QCOMPARE(opened, 0);
}

void TstTray::menu_trayActivationsReachHandler_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("opens");
    QTest::newRow("context") << int(QSystemTrayIcon::Context) << true;
    QTest::newRow("trigger") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
}

void TstTray::menu_trayActivationsReachHandler() {
    QFETCH(int, reason);
    QFETCH(bool, opens);
    QWidget settings;
    Icons icons([&settings] { return settings.isVisible(); });
    int opened = 0;
    icons.popupMenu = [&](QMenu *, const QPoint &) { ++opened; };
    const quint32 hWnd = registerTrayWindow([&icons](int code) { icons.trayNotification(code); });
    NOTIFYICONDATAA d = makeTrayIconData(hWnd, registerTrayIcon(icons.Image1), kTip);
    QVERIFY(Shell_NotifyIconA(NIM_ADD, &d));
    emit onlyTrayIcon()->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(opened, opens ? 1 : 0);
    QVERIFY(Shell_NotifyIconA(NIM_DELETE, &d));
    unregisterTrayWindow(hWnd);
}

QTEST_MAIN(TstTray)
#include "tst_tray.moc"
