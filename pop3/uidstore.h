#pragma once
// New-mail detection by UIDL: the listing split, the seen-id store
// "quilmon.dat" and the comparison. UIDs stay the server's bytes throughout,
// so a server sending bytes outside code page 932 still matches itself.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <optional>

// A UID is at most 70 characters (RFC 1939, 7), and a listing of more ids
// than this is no mailbox a person reads: past either the listing is
// malformed. The store is capped to what such a listing writes.
inline constexpr qsizetype MaxUidBytes = 70;
inline constexpr qsizetype MaxUids = 1000000;
inline constexpr qint64 MaxStoreBytes = qint64(MaxUids + 1) * (2 * MaxUidBytes + 4) + 32;

// UIDs in their order, each once (exact bytes: case matters), at most
// MaxUids of them. A mailbox of a million is held in one piece: the ids back
// to back in one buffer, where each ends, and an open-addressing index of
// four bytes a slot, no string or node per id. The index's hash is seeded
// per process, so no server can choose ids that collide.
class UidList {
  public:
    UidList() = default;
    UidList(std::initializer_list<QByteArrayView> uids);
    explicit UidList(const QList<QByteArray> &uids);

    // Adds uid at the end; false when it is there already, or the list is
    // full (MaxUids, or 4 GiB of ids).
    bool append(QByteArrayView uid);
    bool contains(QByteArrayView uid) const;

    qsizetype size() const { return m_ends.size(); }
    bool isEmpty() const { return m_ends.isEmpty(); }
    // Valid until the list changes.
    QByteArrayView view(qsizetype i) const {
        const quint32 start = i > 0 ? m_ends.at(i - 1) : 0;
        return QByteArrayView(m_bytes.constData() + start, m_ends.at(i) - start);
    }
    QByteArray at(qsizetype i) const { return view(i).toByteArray(); }
    QByteArray first() const { return at(0); }
    QByteArray last() const { return at(size() - 1); }
    UidList mid(qsizetype pos, qsizetype length = -1) const;
    // a, then what b has that a has not.
    friend UidList operator+(const UidList &a, const UidList &b);
    friend bool operator==(const UidList &a, const UidList &b) {
        return a.m_ends == b.m_ends && a.m_bytes == b.m_bytes;
    }

    // Iteration yields copies: a view taken of one dangles once the loop
    // moves on. view(i) copies nothing and stays valid.
    class const_iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = QByteArray;
        using difference_type = qsizetype;
        using pointer = void;
        using reference = QByteArray;
        const_iterator(const UidList *list, qsizetype i) : m_list(list), m_i(i) {}
        QByteArray operator*() const { return m_list->at(m_i); }
        const_iterator &operator++() {
            ++m_i;
            return *this;
        }
        bool operator==(const const_iterator &) const = default;

      private:
        const UidList *m_list;
        qsizetype m_i;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

  private:
    friend class UidlListing;
    friend std::optional<UidList> ParseUidStore(QByteArray &&bytes);
    friend qint64 NewMailCount(const UidList &current, const UidList &old);

    // Adds without looking: settle() then drops the repeats.
    void appendUnchecked(QByteArrayView uid) {
        if (const qsizetype at = m_bytes.size(); !uid.isEmpty()) {
            m_bytes.resize(at + uid.size()); // within what was reserved, no copy
            std::memcpy(m_bytes.data() + at, uid.data(), size_t(uid.size()));
        }
        m_ends.append(quint32(m_bytes.size()));
    }
    // Indexes the ids afresh, keeping each one's first occurrence; the rest
    // move down. Spare room goes.
    void settle();
    // Builds the index when there is none (the list holds each id once).
    void ensureIndex() const;
    // The slot that holds uid, or the free slot where it would go.
    qsizetype slotOf(QByteArrayView uid, size_t hash) const;

    QByteArray m_bytes;             // the ids back to back
    QList<quint32> m_ends;          // where each id ends in m_bytes
    mutable QList<quint32> m_slots; // the index; empty until needed
};

// The UIDL listing split line by line as it arrives: only its ids are kept,
// never the listing itself.
class UidlListing {
  public:
    // One line of the listing without its CR LF; not the terminating ".".
    void addLine(QByteArrayView line);
    // Room for a listing of this many lines, so that its buffers need not
    // grow (which copies them, and the copies stay with the allocator). Only
    // what the ids fill is taken from the system.
    void reserve(qsizetype lines);
    // The bytes of the lines taken so far, with their CR LF.
    qint64 bytes() const { return m_listingBytes; }
    // The UIDs of the listing, in listing order, each once; nullopt when a
    // line is not digits, one blank and the UID, a UID or the listing is
    // past its bound. Starts a new listing.
    std::optional<UidList> take();
    void clear() { *this = UidlListing(); }

  private:
    UidList m_uids;
    qint64 m_listingBytes = 0;
    bool m_malformed = false;
};

// The UIDs of a complete UIDL listing (its lines "n uid" CR LF, then "." CR
// LF), as UidlListing::take gives them; nullopt also when there is no
// terminating "." line.
std::optional<UidList> UidlDataSplit(QByteArrayView listing);

// Number of UIDs in current that are not in old. Order does not matter.
qint64 NewMailCount(const UidList &current, const UidList &old);

// The store's bytes: the count (UIDs + 1), an empty quoted entry, then one
// quoted UID per line, CR LF. A double quote inside a UID is written twice.
QByteArray FormatUidStore(const UidList &uids);

// The UIDs of a store, each once (the leading empty entry is not one of
// them). nullopt when unreadable: empty, a count that is negative, not a
// number or past MaxUids + 1, or fewer strings than the count.
std::optional<UidList> ParseUidStore(QByteArrayView bytes);
// The same, read in place: the ids stay in bytes' own buffer.
std::optional<UidList> ParseUidStore(QByteArray &&bytes);

QString UidStorePath(const QString &stateDir);
// nullopt also for anything but a regular file, a link, or a file larger
// than MaxStoreBytes.
std::optional<UidList> ReadUidStore(const QString &path);
// Both replace the file as a whole; false when it could not be written (the
// old store is then still there).
bool WriteUidStore(const QString &path, const UidList &uids);
bool EmptyUidStore(const QString &path);
