#pragma once
// icons: the tray icon with its menu menuup and the program icon Image1. The
// tray host's clicks come to trayActivated(); the menu is opened by the
// program itself, so it stays shut while the settings window is open.
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

class QAction;
class QMenu;

class Icons : public QObject {
    Q_OBJECT
  public:
    // settingsVisible tells whether the settings window is shown; while it is,
    // the tray does nothing.
    explicit Icons(std::function<bool()> settingsVisible, QObject *parent = nullptr);
    ~Icons() override;

    // The program icon, also the settings window's.
    const QIcon &image1() const { return Image1; }

    // Puts the icon into the notification area (a desktop without one is
    // not an error), and takes it out again.
    void addTrayIcon();
    void removeTrayIcon();
    // The tool tip: the designed text, then `extra` line by line.
    void setTipLines(const QStringList &extra);
    // The marks over the icon: new mail not yet seen, and a failed last check.
    void setMarks(int unread, bool failed);
    // Whether 今すぐチェック may run (monitoring started).
    void setCheckAllowed(std::function<bool()> allowed) { m_checkAllowed = std::move(allowed); }

    // A right click or a left click opens the menu at the cursor while the
    // settings window is hidden; everything else is ignored.
    void trayActivated(QSystemTrayIcon::ActivationReason reason);

  signals:
    void setClicked();
    void nowClicked();
    void verClicked();
    void helpClicked();
    void endClicked();

  private:
    bool inactive() const; // the settings window is shown

    QMenu *menuup; // "popup"
    QAction *set;  // 設定変更
    QAction *now;  // 今すぐチェック
    QAction *ver;  // バージョン情報
    QAction *help; // ヘルプ
    QAction *end;  // 終了
    QIcon Image1;  // the program icon
    QSystemTrayIcon *tray;
    std::function<bool()> m_settingsVisible;
    std::function<bool()> m_checkAllowed;
    int m_unread = 0;
    bool m_failed = false;
    bool m_hostAsked = false;
};
