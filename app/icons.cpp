#include "app/icons.h"

#include "platform/resources.h"
#include "platform/trayicon.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QMenu>
#include <QPointer>

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

    popupMenu = [](QMenu *menu, const QPoint &at) { menu->exec(at); };
}

Icons::~Icons() {
    delete menuup;
}

void Icons::trayNotification(int code) {
    // The tray is inactive while the settings window is open.
    if (m_settingsVisible && m_settingsVisible()) return;
    if (code != WM_RBUTTONDOWN && code != WM_LBUTTONUP) return;
    const QPointer<Icons> self(this);
    QCoreApplication::processEvents();
    // The events may have brought the settings window back.
    if (!self || (m_settingsVisible && m_settingsVisible())) return;
    popupMenu(menuup, QCursor::pos());
}
