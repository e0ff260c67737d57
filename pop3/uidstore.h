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

// A UID is at most 70 characters (RFC 1939, 7), and a listing of more ids
// than this is no mailbox a person reads: past either the listing is
// malformed. The store is capped to what such a listing writes.
inline constexpr qsizetype MaxUidBytes = 70;
inline constexpr qsizetype MaxUids = 1000000;
inline constexpr qint64 MaxStoreBytes = qint64(MaxUids + 1) * (2 * MaxUidBytes + 4) + 32;

// The UIDs of a complete UIDL listing (its lines "n uid" CR LF, then "." CR
// LF), in listing order, each once. nullopt when the listing is malformed: a
// line that is not digits, one blank and the UID, a UID or a listing past
// its bound, or no terminating "." line.
std::optional<UidList> UidlDataSplit(QByteArrayView listing);

// Number of distinct UIDs in current that are not in old. Case matters, order
// does not. The hash is seeded per process, so no server can choose ids that
// collide.
qint64 NewMailCount(const UidList &current, const UidList &old);

// The store's bytes: the count (UIDs + 1), an empty quoted entry, then one
// quoted UID per line, CR LF. A double quote inside a UID is written twice.
QByteArray FormatUidStore(const UidList &uids);

// The UIDs of a store, each once (the leading empty entry is not one of
// them). nullopt when unreadable: empty, a count that is negative, not a
// number or past MaxUids + 1, or fewer strings than the count.
std::optional<UidList> ParseUidStore(QByteArrayView bytes);

QString UidStorePath(const QString &stateDir);
// nullopt also for anything but a regular file, a link, or a file larger
// than MaxStoreBytes.
std::optional<UidList> ReadUidStore(const QString &path);
// Both replace the file as a whole; false when it could not be written (the
// old store is then still there).
bool WriteUidStore(const QString &path, const UidList &uids);
bool EmptyUidStore(const QString &path);
