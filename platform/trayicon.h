#pragma once
// The notification-area icon in the shape of the Windows shell call
// Shell_NotifyIconA with its NOTIFYICONDATAA record, over QSystemTrayIcon.
// Window and icon handles are numbers handed out here; the icon's
// activations reach the window's callback as the mouse message numbers the
// shell would send (the notification code).
#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <functional>

class QIcon;

#pragma pack(push, 4)
struct NOTIFYICONDATAA {
    quint32 cbSize;
    quint32 hWnd;
    quint32 uID;
    quint32 uFlags;
    quint32 uCallbackMessage;
    quint32 hIcon;
    char szTip[64];
};
#pragma pack(pop)
static_assert(sizeof(NOTIFYICONDATAA) == 88, "the first revision of the record is 88 bytes");

constexpr quint32 NIM_ADD = 0;
constexpr quint32 NIM_MODIFY = 1;
constexpr quint32 NIM_DELETE = 2;
constexpr quint32 NIF_MESSAGE = 1;
constexpr quint32 NIF_ICON = 2;
constexpr quint32 NIF_TIP = 4;

constexpr int WM_MOUSEMOVE = 512;
constexpr int WM_LBUTTONDOWN = 513;
constexpr int WM_LBUTTONUP = 514;
constexpr int WM_LBUTTONDBLCLK = 515;
constexpr int WM_RBUTTONDOWN = 516;
constexpr int WM_RBUTTONUP = 517;
constexpr int WM_RBUTTONDBLCLK = 518;
constexpr int WM_MBUTTONDOWN = 519;

// The program's tray record: cbSize 88, uID 1, uFlags 7, uCallbackMessage 512,
// and the tip blank-padded to 32 characters in code page 932.
NOTIFYICONDATAA makeTrayIconData(quint32 hWnd, quint32 hIcon, const QString &tip);
// The record as it lies in memory (little-endian, 88 bytes).
QByteArray recordBytes(const NOTIFYICONDATAA &data);
// The tip as the user sees it: up to the terminating NUL, without the padding blanks.
QString tipText(const NOTIFYICONDATAA &data);

// A window handle whose callback receives the notification codes.
quint32 registerTrayWindow(std::function<void(int code)> callback);
void unregisterTrayWindow(quint32 hWnd);
// An icon handle for a picture.
quint32 registerTrayIcon(const QIcon &icon);

// NIM_ADD, NIM_MODIFY or NIM_DELETE. False when the call could not be done
// (unknown handle, icon already there or not there).
bool Shell_NotifyIconA(quint32 message, const NOTIFYICONDATAA *data);
// Whether the icon (hWnd, uID) is in the notification area.
bool trayIconPresent(quint32 hWnd, quint32 uID);
// Whether the desktop has a notification area at all.
bool trayAvailable();

// Feeds an activation as the shell would (for tests): the code reaches the callback.
void simulateTrayNotification(quint32 hWnd, quint32 uID, int code);
