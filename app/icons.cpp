#include "app/icons.h"

#include "windows/resources.h"
#include "windows/trayoverlay.h"

#include <QAction>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QMenu>

Icons::Icons(std::function<bool()> settingsVisible, QObject *parent)
    : QObject(parent), m_settingsVisible(std::move(settingsVisible)) {
    setObjectName(QStringLiteral("icons"));
    Image1 = programIcon();

    menuup = new QMenu(QStringLiteral("popup"));
    menuup->setObjectName(QStringLiteral("menuup"));
    // A closed menu must never count as the last window and end the program.
    menuup->setAttribute(Qt::WA_QuitOnClose, false);

    set = menuup->addAction(QStringLiteral("設定変更"));
    set->setObjectName(QStringLiteral("set"));
    now = menuup->addAction(QStringLiteral("今すぐチェック"));
    now->setObjectName(QStringLiteral("now"));
    menuup->addSeparator();
    ver = menuup->addAction(QStringLiteral("バージョン情報"));
    ver->setObjectName(QStringLiteral("ver"));
    help = menuup->addAction(QStringLiteral("ヘルプ"));
    help->setObjectName(QStringLiteral("help"));
    menuup->addSeparator();
    end = menuup->addAction(QStringLiteral("終了"));
    end->setObjectName(QStringLiteral("end"));

    connect(set, &QAction::triggered, this, &Icons::setClicked);
    connect(now, &QAction::triggered, this, &Icons::nowClicked);
    connect(ver, &QAction::triggered, this, &Icons::verClicked);
    connect(help, &QAction::triggered, this, &Icons::helpClicked);
    connect(end, &QAction::triggered, this, &Icons::endClicked);
    // A desktop that shows the menu itself (StatusNotifierItem) may show it
    // while the settings window is open: its entries are then greyed, and a
    // greyed entry cannot be chosen, as the tray does nothing then.
    connect(menuup, &QMenu::aboutToShow, this, [this] {
        for (QAction *a : menuup->actions())
            a->setEnabled(!inactive());
        // Before 実行 there is nothing to check with.
        if (!m_checkAllowed || !m_checkAllowed()) now->setEnabled(false);
    });

    tray = new QSystemTrayIcon(Image1, this);
    tray->setObjectName(QStringLiteral("trayIcon"));
    setTipLines({});
    connect(tray, &QSystemTrayIcon::activated, this, &Icons::trayActivated);
}

void Icons::setTipLines(const QStringList &extra) {
    const QString tip =
        (QStringList{QStringLiteral("メールチェックソフトクイルモン7400")} + extra).join(u'\n');
    // Set again every minute: a tray host is told only of a real change.
    if (tip != tray->toolTip()) tray->setToolTip(tip);
}

void Icons::setMarks(int unread, bool failed) {
    if (unread == m_unread && failed == m_failed) return;
    m_unread = unread;
    m_failed = failed;
    tray->setIcon(unread > 0 || failed ? overlaidIcon(Image1, unread, failed) : Image1);
}

Icons::~Icons() {
    delete menuup;
}

void Icons::addTrayIcon() {
    tray->show();
    if (m_hostAsked) return;
    m_hostAsked = true;
    // Qt puts the icon on the session bus as a StatusNotifierItem when the
    // desktop runs a host for them (KDE Plasma, GNOME with AppIndicator), as
    // it just checked. Such a host opens the menu itself, over dbusmenu, and
    // needs it handed over. The XEmbed tray would open a context menu on any
    // right click, so there the program keeps opening it (trayActivated).
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage msg = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    msg.setArguments({QStringLiteral("org.kde.StatusNotifierWatcher"),
                      QStringLiteral("IsStatusNotifierHostRegistered")});
    msg.setAutoStartService(false);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(msg, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *watcher;
        if (!reply.isError() && reply.value().variant().toBool()) tray->setContextMenu(menuup);
    });
}

bool Icons::inactive() const {
    return m_settingsVisible && m_settingsVisible();
}

void Icons::removeTrayIcon() {
    tray->hide();
}

void Icons::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    // The tray is inactive while the settings window is open.
    if (inactive()) return;
    if (reason != QSystemTrayIcon::Context && reason != QSystemTrayIcon::Trigger) return;
    menuup->popup(QCursor::pos());
}
