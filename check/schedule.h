#pragma once
// The scheduler's clock rules, apart from the window so a whole day can be
// run through them.
#include <QString>
#include <optional>

class QTime;

namespace schedule {
// The hour of a quiet-period text: "H:MM" or "H:MM:SS", H 0..23, full-width
// digits read as digits. Anything else has no hour (the period is off).
std::optional<int> hourOf(const QString &text);
// Whether the hour lies in the quiet period (enabled, start and end texts).
bool quiet(bool enabled, const QString &start, const QString &end, int hour);
// Whether the interval choice (0 = 2 h .. 4 = 10 min) fires at this time.
bool intervalDue(int choice, int hour, int minute);
} // namespace schedule
