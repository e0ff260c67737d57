#pragma once
// New-mail detection by UIDL: the listing split, the seen-id store
// "quilmon.dat" and the comparison. UIDs stay the server's bytes throughout,
// so a server sending bytes outside code page 932 still matches itself.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

using UidList = QList<QByteArray>;

// The UIDs of a complete UIDL listing (its lines "n uid" CR LF, then "." CR
// LF), in listing order. nullopt when the listing is malformed: a line that
// is not digits, one blank and the UID, or no terminating "." line.
std::optional<UidList> UidlDataSplit(QByteArrayView listing);

// Number of UIDs in current that are not in old; duplicates in current count
// as often as they occur. Case matters, order does not.
qint64 NewMailCount(const UidList &current, const UidList &old);

// The store's bytes: the count (UIDs + 1), an empty quoted entry, then one
// quoted UID per line, CR LF. A double quote inside a UID is written twice.
QByteArray FormatUidStore(const UidList &uids);

// The UIDs of a store (the leading empty entry is not one of them). nullopt
// when unreadable: empty, a count that is negative or not a number, or fewer
// strings than the count.
std::optional<UidList> ParseUidStore(QByteArrayView bytes);

QString UidStorePath(const QString &programDir);
std::optional<UidList> ReadUidStore(const QString &path);
// Both replace the file as a whole; false when it could not be written (the
// old store is then still there).
bool WriteUidStore(const QString &path, const UidList &uids);
bool EmptyUidStore(const QString &path);
