#pragma once
// The log: "date time  message" CR LF in code page 932, appended line by line.
#include <QDateTime>
#include <QString>

namespace logfile {
// The line's bytes for one clock reading; withSeparator=false leaves out the
// two blanks (for messages that begin with their own ideographic space).
QByteArray formatLine(const QDateTime &now, const QString &message, bool withSeparator = true);
// Appends one line; a log that cannot be written is skipped (false).
bool append(const QString &path, const QDateTime &now, const QString &message,
            bool withSeparator = true);
} // namespace logfile
