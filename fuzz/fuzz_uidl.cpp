// The UIDL listing split on arbitrary bytes: no crash, no hang, and what it
// returns is what a listing of those UIDs splits to, whatever follows the
// listing's end.
#include "pop3/uidstore.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<UidList> uids = UidlDataSplit(bytes);
    if (!uids) return 0;

    // At most one UID per line.
    if (uids->size() > bytes.count(QByteArrayView("\r\n"))) std::abort();
    for (const QByteArray &uid : *uids)
        if (uid.contains('\r')) std::abort();

    // The same UIDs under other message numbers.
    QByteArray rebuilt;
    qint64 number = 1;
    for (const QByteArray &uid : *uids) {
        rebuilt += QByteArray::number(number) + ' ' + uid + "\r\n";
        number += 7;
    }
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
