#pragma once
// The status-line texts of the dial-up connection states.
#include <QString>

namespace TaskTry {
QString RasStateText(qint32 state);
}
