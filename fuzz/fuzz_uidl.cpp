// The UIDL listing split on arbitrary bytes: no crash, no hang, and what it
// returns is what a listing of those UIDs splits to, whatever follows the
// listing's end and however often each UID is repeated in it.
#include "pop3/uidstore.h"

#include <QSet>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<UidList> uids = UidlDataSplit(bytes);
    if (!uids) return 0;

    // At most one UID per line.
    if (uids->size() > bytes.count(QByteArrayView("\r\n"))) std::abort();
    QSet<QByteArray> once;
    for (const QByteArray &uid : *uids) {
        if (uid.contains('\r') || uid.size() > MaxUidBytes) std::abort();
        if (once.contains(uid)) std::abort(); // each UID once
        once.insert(uid);
    }

    // The same UIDs under other message numbers, each one again after the
    // next, and the first once more at the end.
    QByteArray rebuilt;
    qint64 number = 1;
    for (qsizetype i = 0; i < uids->size(); ++i) {
        rebuilt += QByteArray::number(number) + ' ' + uids->at(i) + "\r\n";
        if (i > 0) rebuilt += QByteArray::number(number + 1) + ' ' + uids->at(i - 1) + "\r\n";
        number += 7;
    }
    if (!uids->isEmpty()) rebuilt += "9 " + uids->first() + "\r\n";
    rebuilt += ".\r\n";
    const std::optional<UidList> again = UidlDataSplit(rebuilt);
    if (!again || *again != *uids) std::abort();

    // The terminating line ends the listing: bytes after it change nothing.
    QByteArray followed = bytes.toByteArray();
    followed += "x\r\n1 zz\r\n.\r\n";
    const std::optional<UidList> withTail = UidlDataSplit(followed);
    if (!withTail || *withTail != *uids) std::abort();
    return 0;
}
