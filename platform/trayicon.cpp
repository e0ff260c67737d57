#include "platform/trayicon.h"

#include "platform/codepage.h"

#include <QCoreApplication>
#include <QIcon>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QtEndian>
#include <cstring>
#include <map>

namespace {

struct TrayEntry {
    // Owned by the application object, so it never outlives it.
    QPointer<QSystemTrayIcon> icon;
    quint32 callbackMessage = 0;
    bool withMessage = false;
};

struct Registry {
    quint32 nextHandle = 0x100;
    std::map<quint32, std::function<void(int)>> windows;
    std::map<quint32, QIcon> icons;
    std::map<std::pair<quint32, quint32>, TrayEntry> entries;
};

Registry &registry() {
    static Registry r;
    return r;
}

// The shell passes the mouse message itself as the notification code.
int codeFor(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Context:
        return WM_RBUTTONDOWN;
    case QSystemTrayIcon::Trigger:
        return WM_LBUTTONUP;
    case QSystemTrayIcon::DoubleClick:
        return WM_LBUTTONDBLCLK;
    case QSystemTrayIcon::MiddleClick:
        return WM_MBUTTONDOWN;
    case QSystemTrayIcon::Unknown:
        break;
    }
    return WM_MOUSEMOVE;
}

void deliver(quint32 hWnd, quint32 uID, int code) {
    Registry &r = registry();
    const auto entry = r.entries.find({hWnd, uID});
    if (entry == r.entries.end() || !entry->second.withMessage) return;
    const auto window = r.windows.find(hWnd);
    if (window == r.windows.end() || !window->second) return;
    // A copy: the callback may unregister the window or delete the icon.
    const std::function<void(int)> callback = window->second;
    callback(code);
}

} // namespace

NOTIFYICONDATAA makeTrayIconData(quint32 hWnd, quint32 hIcon, const QString &tip) {
    NOTIFYICONDATAA d{};
    d.cbSize = sizeof(NOTIFYICONDATAA);
    d.hWnd = hWnd;
    d.uID = 1;
    d.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    d.uCallbackMessage = WM_MOUSEMOVE;
    d.hIcon = hIcon;
    QString padded = tip;
    if (padded.size() < 32) padded.append(QString(32 - padded.size(), u' '));
    const QByteArray bytes = cp932::encode(padded);
    // Always leave room for the terminating NUL.
    std::memcpy(d.szTip, bytes.constData(), size_t(std::min<qsizetype>(bytes.size(), 63)));
    return d;
}

QByteArray recordBytes(const NOTIFYICONDATAA &data) {
    QByteArray out(88, '\0');
    char *p = out.data();
    qToLittleEndian(data.cbSize, p);
    qToLittleEndian(data.hWnd, p + 4);
    qToLittleEndian(data.uID, p + 8);
    qToLittleEndian(data.uFlags, p + 12);
    qToLittleEndian(data.uCallbackMessage, p + 16);
    qToLittleEndian(data.hIcon, p + 20);
    std::memcpy(p + 24, data.szTip, sizeof data.szTip);
    return out;
}

QString tipText(const NOTIFYICONDATAA &data) {
    const size_t len = strnlen(data.szTip, sizeof data.szTip);
    QString tip = cp932::decode(QByteArrayView(data.szTip, qsizetype(len)));
    while (tip.endsWith(u' '))
        tip.chop(1);
    return tip;
}

quint32 registerTrayWindow(std::function<void(int)> callback) {
    Registry &r = registry();
    const quint32 handle = r.nextHandle++;
    r.windows[handle] = std::move(callback);
    return handle;
}

void unregisterTrayWindow(quint32 hWnd) {
    registry().windows.erase(hWnd);
}

quint32 registerTrayIcon(const QIcon &icon) {
    Registry &r = registry();
    const quint32 handle = r.nextHandle++;
    r.icons[handle] = icon;
    return handle;
}

bool Shell_NotifyIconA(quint32 message, const NOTIFYICONDATAA *data) {
    if (!data || data->cbSize != sizeof(NOTIFYICONDATAA)) return false;
    Registry &r = registry();
    const std::pair<quint32, quint32> key{data->hWnd, data->uID};
    const auto existing = r.entries.find(key);

    if (message == NIM_DELETE) {
        if (existing == r.entries.end()) return false;
        if (QSystemTrayIcon *icon = existing->second.icon) {
            icon->hide();
            delete icon;
        }
        r.entries.erase(existing);
        return true;
    }
    if (message != NIM_ADD && message != NIM_MODIFY) return false;
    if (!r.windows.count(data->hWnd)) return false;
    if ((message == NIM_ADD) != (existing == r.entries.end())) return false;

    TrayEntry &entry = r.entries[key];
    if (!entry.icon) {
        entry.icon = new QSystemTrayIcon(QCoreApplication::instance());
        const quint32 hWnd = data->hWnd, uID = data->uID;
        QObject::connect(entry.icon, &QSystemTrayIcon::activated, entry.icon,
                         [hWnd, uID](QSystemTrayIcon::ActivationReason reason) {
                             deliver(hWnd, uID, codeFor(reason));
                         });
    }
    if (data->uFlags & NIF_MESSAGE) {
        entry.withMessage = true;
        entry.callbackMessage = data->uCallbackMessage;
    }
    if (data->uFlags & NIF_ICON) {
        const auto icon = r.icons.find(data->hIcon);
        entry.icon->setIcon(icon != r.icons.end() ? icon->second : QIcon());
    }
    if (data->uFlags & NIF_TIP) entry.icon->setToolTip(tipText(*data));
    entry.icon->show();
    return true;
}

bool trayIconPresent(quint32 hWnd, quint32 uID) {
    return registry().entries.count({hWnd, uID}) > 0;
}

bool trayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void simulateTrayNotification(quint32 hWnd, quint32 uID, int code) {
    deliver(hWnd, uID, code);
}
