#pragma once
// Keeping a window above all others, the job SetWindowPos(HWND_TOPMOST) does
// on Windows. On X11 it is the window manager's "above" state
// (_NET_WM_STATE_ABOVE), which Qt's xcb platform sets for
// Qt::WindowStaysOnTopHint. Wayland has no such state for clients.

class QWidget;

// SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE):
// joins the topmost band without moving or resizing the window.
void SetWindowPos(QWidget *window);
bool isTopmost(const QWidget *window);

// True when the X11 platform should be used: a Wayland session that also
// offers XWayland, and no platform chosen by the user.
bool preferX11(bool platformChosen, bool waylandSession, bool x11Display);
// Call in main() before QApplication: under Wayland with XWayland present,
// selects the xcb platform so the popup can stay on top.
void preferX11UnderWayland();
