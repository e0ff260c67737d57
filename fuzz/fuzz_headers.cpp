// The header decoder on arbitrary bytes, as a server's TOP reply may bring
// them: no crash, no hang, and what it returns is fit for one line of a
// notification: bounded, without control characters or line breaks.
#include "pop3/mailheaders.h"

#include <cstdint>
#include <cstdlib>

namespace {
void checkField(const QString &text) {
    if (text.size() > MaxHeaderFieldChars) std::abort();
    for (QChar c : text)
        if (c.category() == QChar::Other_Control || c == u'\n' || c == u'\r') std::abort();
    if (text != text.trimmed()) std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const MailHeaders h = DecodeMailHeaders(bytes);
    checkField(h.from);
    checkField(h.subject);
    // What follows the header's end changes nothing.
    QByteArray followed = bytes.toByteArray();
    if (!followed.contains("\n\r\n") && !followed.startsWith("\r\n")) {
        followed += "\r\n\r\nFrom: tail@x\r\nSubject: tail\r\n";
        if (!(DecodeMailHeaders(followed) == h)) std::abort();
    }
    return 0;
}
