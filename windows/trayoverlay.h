#pragma once
// The tray icon with its marks, drawn over the program icon at whatever size
// the tray host asks for: a red badge with the count of new mail not yet
// seen (top right), and an amber warning sign after a failed check (bottom
// right).
#include <QColor>
#include <QIcon>

namespace trayoverlay {
inline const QColor Badge{0xD3, 0x2F, 0x2F};
inline const QColor Warning{0xFF, 0xB3, 0x00};
} // namespace trayoverlay

QIcon overlaidIcon(const QIcon &base, int unread, bool failed);
