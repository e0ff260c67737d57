#pragma once
// The sender and subject of a message, read from the header block TOP n 0
// returns, decoded the way a mail client shows them: unfolded, RFC 2047
// words in whatever charset they name, raw 8-bit bytes as UTF-8 when valid
// and as code page 932 otherwise, control characters gone, each field cut
// to a display length. The block comes from the server: any bytes at all.
#include <QByteArrayView>
#include <QString>

struct MailHeaders {
    QString from; // the display name, or the address when there is none
    QString subject;
    bool operator==(const MailHeaders &) const = default;
};

// Longest field kept, in characters.
inline constexpr qsizetype MaxHeaderFieldChars = 80;

MailHeaders DecodeMailHeaders(QByteArrayView headerBlock);

// "差出人 — 件名", as the notification, the tray and the notice show it.
QString HeaderLine(const MailHeaders &headers);
