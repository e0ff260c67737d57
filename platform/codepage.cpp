#include "platform/codepage.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace cp932 {

// Constructed by name: Qt's enum has no Shift_JIS, ICU's "CP932" is the
// Windows table (0x5C stays a backslash, 0x8160 is U+FF5E).
QByteArray encode(QStringView text) {
    QStringEncoder enc("CP932", QStringConverter::Flag::Stateless);
    return enc.encode(text);
}

QString decode(QByteArrayView bytes) {
    QStringDecoder dec("CP932", QStringConverter::Flag::Stateless);
    return dec.decode(bytes);
}

bool representable(QStringView text) {
    QStringEncoder enc("CP932", QStringConverter::Flag::Stateless |
                                    QStringConverter::Flag::ConvertInvalidToNull);
    const QByteArray bytes = enc.encode(text);
    return !enc.hasError() && decode(bytes) == text;
}

} // namespace cp932
