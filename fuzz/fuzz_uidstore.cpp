// The seen-id store reader on arbitrary bytes: no crash, no hang, and a list
// it accepts writes back to bytes that read to the same list.
#include "pop3/uidstore.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<UidList> uids = ParseUidStore(bytes);
    if (!uids) return 0;
    const QByteArray again = FormatUidStore(*uids);
    const std::optional<UidList> back = ParseUidStore(again);
    if (!back || *back != *uids) std::abort();
    if (FormatUidStore(*back) != again) std::abort();
    // Every UID read back counts as seen against the list it came from.
    if (NewMailCount(*uids, *back) != 0) std::abort();
    return 0;
}
