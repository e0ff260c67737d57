// The settings record reader on arbitrary bytes: no crash, no hang, and a
// record it accepts writes back to bytes that read to the same record.
#include "check/settingsfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    SettingsRecord r;
    if (!settingsfile::parse(bytes, r)) return 0;
    const QByteArray again = settingsfile::format(r);
    SettingsRecord back;
    if (!settingsfile::parse(again, back) || settingsfile::format(back) != again) std::abort();
    return 0;
}
