#pragma once
// icons: the hidden object holding the tray menu menuup and the program icon
// Image1. It is loaded at start-up and never shown; the tray icon's
// notifications come to trayNotification().
#include <QIcon>
#include <QObject>
#include <functional>

class QAction;
class QMenu;
class QPoint;

class Icons : public QObject {
    Q_OBJECT
  public:
    // settingsVisible tells whether the settings window is shown; while it is,
    // the tray does nothing.
    explicit Icons(std::function<bool()> settingsVisible, QObject *parent = nullptr);
    ~Icons() override;

    QMenu *menuup; // "popup"
    QAction *set;  // 設定変更
    QAction *ver;  // バージョン情報
    QAction *help; // ヘルプ
    QAction *end;  // 終了
    QIcon Image1;  // the program icon

    // The tray icon's notification code (the mouse message): a right-button
    // press or a left-button release opens the menu at the cursor while the
    // settings window is hidden; everything else is ignored.
    void trayNotification(int code);

    // Shows the menu and returns when it closes. Tests replace it.
    std::function<void(QMenu *menu, const QPoint &at)> popupMenu;

  signals:
    void setClicked();
    void verClicked();
    void helpClicked();
    void endClicked();

  private:
    std::function<bool()> m_settingsVisible;
};
