#include "check/schedule.h"

#include <QRegularExpression>

namespace schedule {

std::optional<int> hourOf(const QString &text) {
    QString t = text.trimmed();
    for (QChar &c : t)
        if (c.unicode() >= 0xFF10 && c.unicode() <= 0xFF19)
            c = QChar(u'0' + (c.unicode() - 0xFF10));
    static const QRegularExpression re(
        QStringLiteral("^([0-9]{1,2}):([0-5][0-9])(?::([0-5][0-9]))?$"));
    const auto m = re.match(t);
    if (!m.hasMatch()) return std::nullopt;
    const int h = m.captured(1).toInt();
    if (h > 23) return std::nullopt;
    return h;
}

bool quiet(bool enabled, const QString &start, const QString &end, int hour) {
    if (!enabled || start == end) return false;
    const auto s = hourOf(start);
    const auto e = hourOf(end);
    if (!s || !e) return false;
    if (*s > *e) return !(*e <= hour && hour < *s);
    return !(hour < *s || hour >= *e);
}

bool intervalDue(int choice, int hour, int minute) {
    switch (choice) {
    case 4:
        return minute % 10 == 0;
    case 3:
        return minute % 15 == 0;
    case 2:
        return minute % 30 == 0;
    case 1:
        return minute < 2;
    case 0:
        return minute < 2 && hour % 2 == 0;
    default:
        return false;
    }
}

} // namespace schedule
