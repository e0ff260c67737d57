#include "app/icons.h"

#include "platform/resources.h"

#include <QAction>
#include <QCursor>
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
    menuup->addSeparator();
    ver = menuup->addAction(QStringLiteral("バージョン情報"));
    ver->setObjectName(QStringLiteral("ver"));
    help = menuup->addAction(QStringLiteral("ヘルプ"));
    help->setObjectName(QStringLiteral("help"));
    menuup->addSeparator();
    end = menuup->addAction(QStringLiteral("終了"));
    end->setObjectName(QStringLiteral("end"));

    connect(set, &QAction::triggered, this, &Icons::setClicked);
    connect(ver, &QAction::triggered, this, &Icons::verClicked);
    connect(help, &QAction::triggered, this, &Icons::helpClicked);
    connect(end, &QAction::triggered, this, &Icons::endClicked);

    popupMenu = [](QMenu *menu, const QPoint &at) { menu->popup(at); };

    tray = new QSystemTrayIcon(Image1, this);
    tray->setObjectName(QStringLiteral("trayIcon"));
    tray->setToolTip(QStringLiteral("メールチェックソフトクイルモン7400"));
    connect(tray, &QSystemTrayIcon::activated, this, &Icons::trayActivated);
}

Icons::~Icons() {
    delete menuup;
}

void Icons::addTrayIcon() {
    tray->show();
}

void Icons::removeTrayIcon() {
    tray->hide();
}

void Icons::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    // The tray is inactive while the settings window is open.
    if (m_settingsVisible && m_settingsVisible()) return;
    if (reason != QSystemTrayIcon::Context && reason != QSystemTrayIcon::Trigger) return;
    popupMenu(menuup, QCursor::pos());
}
