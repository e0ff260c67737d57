#include "pop3/uidstore.h"

#include "platform/atomicfile.h"

#include <QHashFunctions>
#include <QRandomGenerator>
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace {

// A slot holds the id's number plus 1 (0 when free) in its low bits and bits
// of the id's hash above them, so a UID's bytes are only compared when those
// agree.
constexpr int NumberBits = 20;
constexpr quint32 NumberMask = (quint32(1) << NumberBits) - 1;
static_assert(MaxUids < NumberMask);
static_assert(sizeof(size_t) == 8);

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The seed is drawn once per process: ids a server chose to collide would
// otherwise pile into one run of slots and make every check quadratic.
size_t hashOf(QByteArrayView uid) {
    static const size_t seed = size_t(QRandomGenerator::system()->generate64());
    return qHash(uid, seed);
}

quint32 tagOf(size_t hash) {
    return quint32(hash >> (64 - (32 - NumberBits))) << NumberBits;
}

// Two thirds of the slots at most are taken: a missing id is told after a
// few slots of one cache line.
qsizetype slotsFor(qsizetype ids) {
    return qMax<qsizetype>(16, ids + ids / 2);
}

// The slot an id's search starts at: the hash's low half scaled to the table.
size_t firstSlot(size_t hash, qsizetype tableSize) {
    return size_t((quint64(quint32(hash)) * quint64(tableSize)) >> 32);
}

} // namespace

UidList::UidList(std::initializer_list<QByteArrayView> uids) {
    for (QByteArrayView uid : uids)
        appendUnchecked(uid);
    settle();
}

UidList::UidList(const QList<QByteArray> &uids) {
    for (const QByteArray &uid : uids)
        appendUnchecked(uid);
    settle();
}

qsizetype UidList::slotOf(QByteArrayView uid, size_t hash) const {
    const quint32 *table = m_slots.constData();
    const size_t size = size_t(m_slots.size());
    const quint32 tag = tagOf(hash);
    for (size_t i = firstSlot(hash, m_slots.size());; i = i + 1 == size ? 0 : i + 1) {
        const quint32 s = table[i];
        if (s == 0 || ((s & ~NumberMask) == tag && view((s & NumberMask) - 1) == uid))
            return qsizetype(i);
    }
}

void UidList::ensureIndex() const {
    if (!m_slots.isEmpty()) return;
    // Room for as many again: appends rebuild it only when the list doubles.
    m_slots = QList<quint32>(slotsFor(2 * size()), 0);
    for (qsizetype i = 0; i < size(); ++i) {
        const size_t hash = hashOf(view(i));
        m_slots[slotOf(view(i), hash)] = tagOf(hash) | quint32(i + 1);
    }
}

void UidList::settle() {
    const qsizetype n = size();
    const qsizetype tableSize = slotsFor(n);
    m_slots = QList<quint32>(tableSize, 0);
    char *bytes = m_bytes.data();
    quint32 *ends = m_ends.data();
    quint32 *table = m_slots.data();
    // Slots are touched in random order, so each batch's are fetched ahead.
    // An id moves down to its final place before it is entered: the index
    // only ever points below `kept`, where nothing moves again.
    constexpr qsizetype Batch = 16;
    size_t hashes[Batch];
    quint32 starts[Batch + 1];
    quint32 to = 0; // where the next kept id's bytes go
    qsizetype kept = 0;
    for (qsizetype base = 0; base < n; base += Batch) {
        const qsizetype count = qMin(Batch, n - base);
        starts[0] = base > 0 ? starts[Batch] : 0;
        for (qsizetype k = 0; k < count; ++k) {
            starts[k + 1] = ends[base + k];
            hashes[k] = hashOf(QByteArrayView(bytes + starts[k], starts[k + 1] - starts[k]));
            __builtin_prefetch(table + firstSlot(hashes[k], tableSize));
        }
        for (qsizetype k = 0; k < count && kept < MaxUids; ++k) {
            const quint32 length = starts[k + 1] - starts[k];
            if (to != starts[k]) std::memmove(bytes + to, bytes + starts[k], length);
            ends[kept] = to + length;
            const qsizetype slot = slotOf(QByteArrayView(bytes + to, length), hashes[k]);
            if (table[slot] != 0) continue; // seen before
            table[slot] = tagOf(hashes[k]) | quint32(kept + 1);
            to += length;
            ++kept;
        }
    }
    m_ends.resize(kept);
    m_ends.squeeze();
    m_bytes.resize(to);
    m_bytes.squeeze();
}

bool UidList::append(QByteArrayView uid) {
    if (size() >= MaxUids || m_bytes.size() + uid.size() > std::numeric_limits<quint32>::max())
        return false;
    ensureIndex();
    const size_t hash = hashOf(uid);
    const qsizetype slot = slotOf(uid, hash);
    if (m_slots.at(slot) != 0) return false;
    appendUnchecked(uid);
    if (size() * 3 > m_slots.size() * 2)
        m_slots.clear(); // outgrown: rebuilt when next needed
    else
        m_slots[slot] = tagOf(hash) | quint32(size());
    return true;
}

bool UidList::contains(QByteArrayView uid) const {
    ensureIndex();
    return m_slots.at(slotOf(uid, hashOf(uid))) != 0;
}

UidList UidList::mid(qsizetype pos, qsizetype length) const {
    const qsizetype end = length < 0 ? size() : qMin(size(), pos + length);
    UidList part;
    for (qsizetype i = pos; i < end; ++i)
        part.appendUnchecked(view(i));
    part.settle();
    return part;
}

UidList operator+(const UidList &a, const UidList &b) {
    UidList both = a;
    for (qsizetype i = 0; i < b.size(); ++i)
        both.appendUnchecked(b.view(i));
    both.settle();
    return both;
}

void UidlListing::addLine(QByteArrayView line) {
    m_listingBytes += line.size() + 2;
    if (m_malformed) return;
    // Lines are counted as they come, before repeats go. The message number
    // is read, not assumed from the line's position: mailboxes of any size
    // split the same way.
    qsizetype q = 0;
    while (q < line.size() && isDigit(line[q]))
        ++q;
    const QByteArrayView uid = line.sliced(qMin(q + 1, line.size()));
    if (m_uids.size() >= MaxUids || q == 0 || q >= line.size() || line[q] != ' ' ||
        uid.size() > MaxUidBytes) {
        // Nothing of it is used: the ids go at once.
        m_uids = UidList();
        m_malformed = true;
        return;
    }
    if (uid.contains('\r')) {
        // A CR not followed by LF is not part of the UID.
        char cleaned[MaxUidBytes];
        qsizetype n = 0;
        for (char c : uid)
            if (c != '\r') cleaned[n++] = c;
        m_uids.appendUnchecked(QByteArrayView(cleaned, n));
    } else {
        m_uids.appendUnchecked(uid);
    }
}

void UidlListing::reserve(qsizetype lines) {
    lines = qMin(lines, MaxUids);
    m_uids.m_bytes.reserve(lines * MaxUidBytes);
    m_uids.m_ends.reserve(lines);
}

std::optional<UidList> UidlListing::take() {
    UidlListing done = std::exchange(*this, UidlListing());
    if (done.m_malformed) return std::nullopt;
    done.m_uids.settle();
    // The count looks the listing's ids up in the store's index; this one
    // would only take room until then.
    done.m_uids.m_slots = {};
    return std::move(done.m_uids);
}

std::optional<UidList> UidlDataSplit(QByteArrayView listing) {
    UidlListing split;
    qsizetype p = 0;
    const qsizetype size = listing.size();
    while (p < size) {
        // A line ends at a CR that is followed by LF.
        qsizetype end = p;
        for (;;) {
            const qsizetype cr = listing.indexOf('\r', end);
            if (cr < 0 || cr + 1 >= size) return std::nullopt; // no complete line left
            if (listing[cr + 1] == '\n') {
                end = cr;
                break;
            }
            end = cr + 1;
        }
        const QByteArrayView line = listing.sliced(p, end - p);
        p = end + 2;
        if (line == QByteArrayView(".")) return split.take();
        split.addLine(line);
    }
    return std::nullopt;
}

qint64 NewMailCount(const UidList &current, const UidList &old) {
    old.ensureIndex();
    const quint32 *table = old.m_slots.constData();
    const qsizetype tableSize = old.m_slots.size();
    constexpr qsizetype Batch = 16;
    size_t hashes[Batch];
    qint64 count = 0;
    for (qsizetype base = 0; base < current.size(); base += Batch) {
        const qsizetype n = qMin(Batch, current.size() - base);
        for (qsizetype k = 0; k < n; ++k) {
            hashes[k] = hashOf(current.view(base + k));
            __builtin_prefetch(table + firstSlot(hashes[k], tableSize));
        }
        for (qsizetype k = 0; k < n; ++k)
            if (table[old.slotOf(current.view(base + k), hashes[k])] == 0) ++count;
    }
    return count;
}

QByteArray FormatUidStore(const UidList &uids) {
    const QByteArray head = QByteArray::number(qint64(uids.size()) + 1) + "\r\n\"\"\r\n";
    qsizetype total = head.size() + 4 * uids.size();
    for (qsizetype i = 0; i < uids.size(); ++i)
        total += uids.view(i).size() + uids.view(i).count('"');
    // Written straight into a buffer of the final size: no growing copies.
    QByteArray out(total, Qt::Uninitialized);
    char *to = out.data();
    std::memcpy(to, head.constData(), size_t(head.size()));
    to += head.size();
    for (qsizetype i = 0; i < uids.size(); ++i) {
        const QByteArrayView uid = uids.view(i);
        *to++ = '"';
        if (!uid.contains('"')) {
            std::memcpy(to, uid.data(), size_t(uid.size()));
            to += uid.size();
        } else {
            for (char c : uid) {
                *to++ = c;
                if (c == '"') *to++ = '"';
            }
        }
        *to++ = '"';
        *to++ = '\r';
        *to++ = '\n';
    }
    return out;
}

namespace {

// Reads the store's fields the way it has always been read: blanks and line
// breaks before a field are skipped; a quoted field ends at its closing quote
// (a doubled quote is one quote), and what follows it up to the next comma or
// line break is passed over; an unquoted field runs to a comma or line break.
// A field is written back into the buffer at a place already read, so the
// ids stay where the file was read to.
class FieldReader {
  public:
    FieldReader(char *bytes, qsizetype size) : m_bytes(bytes), m_size(size) {}

    // Writes the next field at `to`, which is not past anything unread;
    // returns its length, or -1 at the end or inside a field that is cut off.
    qsizetype next(qsizetype to) {
        while (m_pos < m_size && isBlankOrBreak(m_bytes[m_pos]))
            ++m_pos;
        if (m_pos >= m_size) return -1;
        qsizetype at = to;
        if (m_bytes[m_pos] == '"') {
            ++m_pos;
            for (;;) {
                const void *quote = std::memchr(m_bytes + m_pos, '"', size_t(m_size - m_pos));
                if (!quote) return -1;
                const qsizetype length = static_cast<const char *>(quote) - (m_bytes + m_pos);
                std::memmove(m_bytes + at, m_bytes + m_pos, size_t(length));
                at += length;
                m_pos += length + 1;
                if (m_pos < m_size && m_bytes[m_pos] == '"') {
                    m_bytes[at++] = '"';
                    ++m_pos;
                    continue;
                }
                break;
            }
            while (m_pos < m_size && !isSeparator(m_bytes[m_pos]))
                ++m_pos;
        } else {
            const qsizetype start = m_pos;
            while (m_pos < m_size && !isSeparator(m_bytes[m_pos]))
                ++m_pos;
            const QByteArrayView field = QByteArrayView(m_bytes + start, m_pos - start).trimmed();
            std::memmove(m_bytes + at, field.data(), size_t(field.size()));
            at += field.size();
        }
        if (m_pos < m_size && m_bytes[m_pos] == ',') ++m_pos;
        return at - to;
    }

  private:
    static bool isBlankOrBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool isSeparator(char c) { return c == ',' || c == '\r' || c == '\n'; }

    char *m_bytes;
    qsizetype m_size;
    qsizetype m_pos = 0;
};

} // namespace

std::optional<UidList> ParseUidStore(QByteArrayView bytes) {
    return ParseUidStore(bytes.toByteArray());
}

std::optional<UidList> ParseUidStore(QByteArray &&bytes) {
    // Ends are kept in 32 bits; a store is capped far below.
    if (bytes.size() > qsizetype(std::numeric_limits<quint32>::max())) return std::nullopt;
    UidList uids;
    uids.m_bytes = std::move(bytes);
    FieldReader reader(uids.m_bytes.data(), uids.m_bytes.size());
    const qsizetype countLength = reader.next(0);
    if (countLength <= 0 || countLength > 18) return std::nullopt;
    qint64 count = 0;
    for (char c : QByteArrayView(uids.m_bytes.constData(), countLength)) {
        if (!isDigit(c)) return std::nullopt;
        count = count * 10 + (c - '0');
    }
    // No listing has more ids than this: past it, a file of mere commas
    // would make an entry of every byte.
    if (count > MaxUids + 1) return std::nullopt;

    // A lying count ends at the file's end, and reserves no more than the
    // file could hold.
    uids.m_ends.reserve(qMin(qsizetype(count), uids.m_bytes.size() / 2));
    qsizetype to = 0;
    for (qint64 k = 1; k <= count; ++k) {
        const qsizetype length = reader.next(to);
        if (length < 0) return std::nullopt;
        // Entry 1 is the empty placeholder and never takes part.
        if (k == 1) continue;
        to += length;
        uids.m_ends.append(quint32(to));
    }
    uids.m_bytes.resize(to);
    // A store written before ids were kept once may repeat them.
    uids.settle();
    return uids;
}

QString UidStorePath(const QString &stateDir) {
    return stateDir + QStringLiteral("/quilmon.dat");
}

std::optional<UidList> ReadUidStore(const QString &path) {
    std::optional<QByteArray> bytes = readRegularFile(path, MaxStoreBytes);
    if (!bytes) return std::nullopt;
    return ParseUidStore(std::move(*bytes));
}

bool WriteUidStore(const QString &path, const UidList &uids) {
    return writeFileAtomically(path, FormatUidStore(uids));
}

bool EmptyUidStore(const QString &path) {
    return writeFileAtomically(path, QByteArray());
}
