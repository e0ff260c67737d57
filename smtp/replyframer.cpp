#include "smtp/replyframer.h"

namespace {
bool threeDigits(QByteArrayView line) {
    if (line.size() < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    return true;
}
} // namespace

ReplyFramer::Result ReplyFramer::nextLine(QByteArray &line) {
    const qsizetype lf = m_buffer.indexOf('\n');
    if (lf < 0) {
        // Even with its CR LF still to come this line is already too long.
        return m_buffer.size() >= MaxLine ? Result::TooLong : Result::NeedMore;
    }
    line = m_buffer.left(lf);
    m_buffer.remove(0, lf + 1);
    if (line.endsWith('\r')) line.chop(1);
    return line.size() + 2 > MaxLine ? Result::TooLong : Result::Line;
}

bool ReplyFramer::isLastLine(QByteArrayView line) {
    return !(threeDigits(line) && line.size() > 3 && line[3] == '-');
}

QByteArray ReplyFramer::code(QByteArrayView lastLine) {
    if (!threeDigits(lastLine)) return {};
    if (lastLine.size() > 3 && lastLine[3] != ' ') return {};
    return lastLine.first(3).toByteArray();
}
