#include "check/logfile.h"

#include "platform/atomicfile.h"
#include "platform/codepage.h"

#include <QLocale>

namespace logfile {

namespace {
struct Formats {
    QLocale locale;
    QString date;
    QString time;
};

// The system locale's short date and its time with seconds; C/POSIX (common
// when started at login) gives no Japanese forms, so those get fixed ones.
Formats currentFormats() {
    const QLocale sys = QLocale::system();
    if (sys.language() == QLocale::C || sys.name() == u"C" || sys.name() == u"POSIX")
        return {QLocale::c(), QStringLiteral("yyyy/MM/dd"), QStringLiteral("H:mm:ss")};
    QString time = sys.timeFormat(QLocale::ShortFormat);
    if (!time.contains(u's')) {
        const qsizetype m = time.lastIndexOf(u"mm");
        if (m >= 0)
            time.insert(m + 2, u":ss");
        else
            time = QStringLiteral("H:mm:ss");
    }
    return {sys, sys.dateFormat(QLocale::ShortFormat), time};
}

// Messages quote what servers sent (replies, certificate names): a line
// break or a terminal escape from the network must not make a second log
// line or reach a terminal. Control characters but tab are written in caret
// form (^M, ^[, ^?), C1 ones as "?".
QString printable(const QString &message) {
    QString out;
    out.reserve(message.size());
    for (const QChar c : message) {
        const char16_t u = c.unicode();
        if (u < 0x20 && u != u'\t')
            out += u'^' + QChar(char16_t(u + 0x40));
        else if (u == 0x7f)
            out += u"^?";
        else if (u >= 0x80 && u < 0xa0)
            out += u'?';
        else
            out += c;
    }
    return out;
}
} // namespace

QByteArray formatLine(const QDateTime &now, const QString &message, bool withSeparator) {
    const Formats f = currentFormats();
    QString line =
        f.locale.toString(now.date(), f.date) + u' ' + f.locale.toString(now.time(), f.time);
    if (withSeparator) line += u"  ";
    line += printable(message);
    line += u"\r\n";
    return cp932::encode(line);
}

bool append(const QString &path, const QDateTime &now, const QString &message, bool withSeparator) {
    // Owner-only: the log names the server and the account.
    return appendToFile(path, formatLine(now, message, withSeparator));
}

} // namespace logfile
