#include "pop3/uidstore.h"

#include "platform/atomicfile.h"

#include <QHashFunctions>
#include <QRandomGenerator>
#include <vector>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Open addressing over compact (hash, index) slots: no node per UID, and a
// UID's bytes are only compared when the hashes agree. The seed is drawn
// once per process: ids a server chose to collide would otherwise pile into
// one run of slots and make every check quadratic.
class UidSet {
  public:
    UidSet(const UidList &uids, qsizetype expected) : m_uids(uids) {
        size_t size = 16;
        while (size < size_t(expected) * 2)
            size *= 2;
        m_mask = size - 1;
        m_slots.assign(size, Slot{0, 0});
    }

    static quint32 hashOf(const QByteArray &uid) {
        static const size_t seed = size_t(QRandomGenerator::system()->generate64());
        const size_t h = qHash(QByteArrayView(uid), seed);
        return quint32(h ^ (h >> 32));
    }

    // Adds uids[index] unless an equal one is there; true when added.
    bool insert(qsizetype index, quint32 hash) {
        size_t i = hash & m_mask;
        for (; m_slots[i].index != 0; i = (i + 1) & m_mask) {
            if (m_slots[i].hash == hash && m_uids[m_slots[i].index - 1] == m_uids[index])
                return false;
        }
        m_slots[i] = Slot{hash, quint32(index + 1)};
        return true;
    }

    bool contains(const QByteArray &uid, quint32 hash) const {
        for (size_t i = hash & m_mask; m_slots[i].index != 0; i = (i + 1) & m_mask) {
            if (m_slots[i].hash == hash && m_uids[m_slots[i].index - 1] == uid) return true;
        }
        return false;
    }

    void prefetch(quint32 hash) const { __builtin_prefetch(&m_slots[hash & m_mask]); }

  private:
    struct Slot {
        quint32 hash;
        quint32 index; // into the list, plus 1; 0 when free
    };
    const UidList &m_uids;
    std::vector<Slot> m_slots;
    size_t m_mask = 0;
};

// Keeps each UID's first occurrence. Slots are touched in random order, so
// each batch's slots are fetched ahead: 100,000 ids take milliseconds.
void keepOnce(UidList &uids) {
    UidSet set(uids, uids.size());
    constexpr qsizetype Batch = 16;
    quint32 hashes[Batch];
    qsizetype kept = 0;
    for (qsizetype base = 0; base < uids.size(); base += Batch) {
        const qsizetype n = qMin(Batch, uids.size() - base);
        for (qsizetype k = 0; k < n; ++k) {
            hashes[k] = UidSet::hashOf(uids[base + k]);
            set.prefetch(hashes[k]);
        }
        for (qsizetype k = 0; k < n; ++k) {
            // Moved down first and then inserted under its final place: the
            // set only ever points below `kept`, where nothing moves again.
            if (kept != base + k) uids[kept] = std::move(uids[base + k]);
            if (set.insert(kept, hashes[k])) ++kept;
        }
    }
    uids.resize(kept);
}

} // namespace

std::optional<UidList> UidlDataSplit(QByteArrayView listing) {
    UidList uids;
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
        if (line == QByteArrayView(".")) {
            keepOnce(uids);
            return uids;
        }
        if (uids.size() >= MaxUids) return std::nullopt;

        // The message number is read, not assumed from the line's position:
        // mailboxes of any size split the same way.
        qsizetype q = 0;
        while (q < line.size() && isDigit(line[q]))
            ++q;
        if (q == 0 || q >= line.size() || line[q] != ' ') return std::nullopt;
        const QByteArrayView uid = line.sliced(q + 1);
        if (uid.size() > MaxUidBytes) return std::nullopt;
        if (uid.contains('\r')) {
            // A CR not followed by LF is not part of the UID.
            QByteArray cleaned;
            cleaned.reserve(uid.size());
            for (char c : uid)
                if (c != '\r') cleaned.append(c);
            uids.append(cleaned);
        } else {
            uids.append(uid.toByteArray());
        }
    }
    return std::nullopt;
}

qint64 NewMailCount(const UidList &current, const UidList &old) {
    UidSet seen(old, old.size());
    for (qsizetype i = 0; i < old.size(); ++i)
        seen.insert(i, UidSet::hashOf(old[i]));
    UidList unique = current;
    keepOnce(unique);
    qint64 count = 0;
    for (const QByteArray &uid : unique)
        if (!seen.contains(uid, UidSet::hashOf(uid))) ++count;
    return count;
}

QByteArray FormatUidStore(const UidList &uids) {
    qsizetype total = 32;
    for (const QByteArray &uid : uids)
        total += uid.size() + 4;
    QByteArray out;
    out.reserve(total);
    out += QByteArray::number(qint64(uids.size()) + 1);
    out += "\r\n\"\"\r\n";
    for (const QByteArray &uid : uids) {
        out += '"';
        if (uid.contains('"')) {
            for (char c : uid) {
                out += c;
                if (c == '"') out += '"';
            }
        } else {
            out += uid;
        }
        out += "\"\r\n";
    }
    return out;
}

namespace {

// Reads the store's fields the way it has always been read: blanks and line
// breaks before a field are skipped; a quoted field ends at its closing quote
// (a doubled quote is one quote), and what follows it up to the next comma or
// line break is passed over; an unquoted field runs to a comma or line break.
class FieldReader {
  public:
    explicit FieldReader(QByteArrayView bytes) : m_bytes(bytes) {}

    std::optional<QByteArray> next() {
        const qsizetype size = m_bytes.size();
        while (m_pos < size && isBlankOrBreak(m_bytes[m_pos]))
            ++m_pos;
        if (m_pos >= size) return std::nullopt;
        QByteArray field;
        if (m_bytes[m_pos] == '"') {
            ++m_pos;
            for (;;) {
                const qsizetype quote = m_bytes.indexOf('"', m_pos);
                if (quote < 0) return std::nullopt; // cut off inside a field
                if (field.isEmpty() && (quote + 1 >= size || m_bytes[quote + 1] != '"'))
                    field = m_bytes.sliced(m_pos, quote - m_pos).toByteArray();
                else
                    field += m_bytes.sliced(m_pos, quote - m_pos);
                m_pos = quote + 1;
                if (m_pos < size && m_bytes[m_pos] == '"') {
                    field += '"';
                    ++m_pos;
                    continue;
                }
                break;
            }
            while (m_pos < size && !isSeparator(m_bytes[m_pos]))
                ++m_pos;
        } else {
            const qsizetype start = m_pos;
            while (m_pos < size && !isSeparator(m_bytes[m_pos]))
                ++m_pos;
            field = m_bytes.sliced(start, m_pos - start).trimmed().toByteArray();
        }
        if (m_pos < size && m_bytes[m_pos] == ',') ++m_pos;
        return field;
    }

  private:
    static bool isBlankOrBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool isSeparator(char c) { return c == ',' || c == '\r' || c == '\n'; }

    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
};

} // namespace

std::optional<UidList> ParseUidStore(QByteArrayView bytes) {
    FieldReader reader(bytes);
    const std::optional<QByteArray> countField = reader.next();
    if (!countField || countField->isEmpty() || countField->size() > 18) return std::nullopt;
    for (char c : *countField)
        if (!isDigit(c)) return std::nullopt;
    const qint64 count = countField->toLongLong();
    // No listing has more ids than this: past it, a file of mere commas
    // would make an entry of every byte.
    if (count > MaxUids + 1) return std::nullopt;

    // Nothing is reserved by the count: a lying count ends at the file's end.
    UidList uids;
    for (qint64 k = 1; k <= count; ++k) {
        std::optional<QByteArray> field = reader.next();
        if (!field) return std::nullopt;
        // Entry 1 is the empty placeholder and never takes part.
        if (k > 1) uids.append(std::move(*field));
    }
    // A store written before ids were kept once may repeat them.
    keepOnce(uids);
    return uids;
}

QString UidStorePath(const QString &stateDir) {
    return stateDir + QStringLiteral("/quilmon.dat");
}

std::optional<UidList> ReadUidStore(const QString &path) {
    const std::optional<QByteArray> bytes = readRegularFile(path, MaxStoreBytes);
    if (!bytes) return std::nullopt;
    return ParseUidStore(*bytes);
}

bool WriteUidStore(const QString &path, const UidList &uids) {
    return writeFileAtomically(path, FormatUidStore(uids));
}

bool EmptyUidStore(const QString &path) {
    return writeFileAtomically(path, QByteArray());
}
