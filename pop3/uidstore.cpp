#include "pop3/uidstore.h"

#include "platform/atomicfile.h"

#include <QFile>
#include <string_view>
#include <vector>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
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
        if (line == QByteArrayView(".")) return uids;

        // The message number is read, not assumed from the line's position:
        // mailboxes of any size split the same way.
        qsizetype q = 0;
        while (q < line.size() && isDigit(line[q]))
            ++q;
        if (q == 0 || q >= line.size() || line[q] != ' ') return std::nullopt;
        const QByteArrayView uid = line.sliced(q + 1);
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
    // Open addressing over compact (hash, index) slots: no node per UID, and
    // a UID's bytes are only compared when the hashes agree. Slots are
    // touched in random order, so each batch's slots are fetched ahead: a
    // mailbox of 100,000 messages compares in milliseconds.
    struct Slot {
        quint32 hash;
        quint32 index; // into old, plus 1; 0 when free
    };
    size_t tableSize = 16;
    while (tableSize < size_t(old.size()) * 2)
        tableSize *= 2;
    const size_t mask = tableSize - 1;
    std::vector<Slot> table(tableSize, Slot{0, 0});
    auto hashOf = [](const QByteArray &uid) {
        const size_t h =
            std::hash<std::string_view>{}(std::string_view(uid.constData(), size_t(uid.size())));
        return quint32(h ^ (h >> 32));
    };
    constexpr qsizetype Batch = 16;
    quint32 hashes[Batch];

    for (qsizetype base = 0; base < old.size(); base += Batch) {
        const qsizetype n = qMin(Batch, old.size() - base);
        for (qsizetype k = 0; k < n; ++k) {
            hashes[k] = hashOf(old[base + k]);
            __builtin_prefetch(&table[hashes[k] & mask], 1);
        }
        for (qsizetype k = 0; k < n; ++k) {
            size_t i = hashes[k] & mask;
            while (table[i].index != 0)
                i = (i + 1) & mask;
            table[i] = Slot{hashes[k], quint32(base + k + 1)};
        }
    }
    qint64 count = 0;
    for (qsizetype base = 0; base < current.size(); base += Batch) {
        const qsizetype n = qMin(Batch, current.size() - base);
        for (qsizetype k = 0; k < n; ++k) {
            hashes[k] = hashOf(current[base + k]);
            __builtin_prefetch(&table[hashes[k] & mask]);
        }
        for (qsizetype k = 0; k < n; ++k) {
            const QByteArray &uid = current[base + k];
            bool seen = false;
            for (size_t i = hashes[k] & mask; table[i].index != 0; i = (i + 1) & mask) {
                if (table[i].hash == hashes[k] && old[table[i].index - 1] == uid) {
                    seen = true;
                    break;
                }
            }
            if (!seen) ++count;
        }
    }
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

    // Nothing is reserved by the count: a lying count ends at the file's end.
    UidList uids;
    for (qint64 k = 1; k <= count; ++k) {
        std::optional<QByteArray> field = reader.next();
        if (!field) return std::nullopt;
        // Entry 1 is the empty placeholder and never takes part.
        if (k > 1) uids.append(std::move(*field));
    }
    return uids;
}

QString UidStorePath(const QString &programDir) {
    return programDir + QStringLiteral("/quilmon.dat");
}

std::optional<UidList> ReadUidStore(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) return std::nullopt;
    return ParseUidStore(bytes);
}

bool WriteUidStore(const QString &path, const UidList &uids) {
    return writeFileAtomically(path, FormatUidStore(uids));
}

bool EmptyUidStore(const QString &path) {
    return writeFileAtomically(path, QByteArray());
}
