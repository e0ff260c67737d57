// The seen-id store reader on arbitrary bytes: no crash, no hang, and a list
// it accepts holds each UID once, within the bound, and writes back to bytes
// that read to the same list.
#include "pop3/uidstore.h"

#include <QSet>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<UidList> uids = ParseUidStore(bytes);
    if (!uids) return 0;
    if (uids->size() > MaxUids) std::abort();
    if (QSet<QByteArray>(uids->cbegin(), uids->cend()).size() != uids->size()) std::abort();
    const QByteArray again = FormatUidStore(*uids);
    const std::optional<UidList> back = ParseUidStore(again);
    if (!back || *back != *uids) std::abort();
    if (FormatUidStore(*back) != again) std::abort();
    // Every UID read back counts as seen against the list it came from.
    if (NewMailCount(*uids, *back) != 0) std::abort();
    // Repeated in the listing or in the old list, a UID still counts once.
    if (!uids->isEmpty() && NewMailCount(*uids + *uids, {}) != uids->size()) std::abort();
    if (NewMailCount(*uids, *uids + *uids) != 0) std::abort();
    return 0;
}
