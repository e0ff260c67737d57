#pragma once
// Code page 932 (Windows Shift_JIS): the encoding of every file and socket of
// the program, on every system, so files from a Japanese Windows read right.
#include <QByteArray>
#include <QString>

namespace cp932 {
QByteArray encode(QStringView text);
QString decode(QByteArrayView bytes);
// True when the text survives a round trip through code page 932.
bool representable(QStringView text);
} // namespace cp932
