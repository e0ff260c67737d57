// GMime first: GLib's headers name a member "signals", which Qt defines.
#include <gmime/gmime.h>

#include "pop3/mailheaders.h"

#include <QByteArray>

namespace {

// Charsets tried, in order, on raw 8-bit bytes: UTF-8 when it is valid, else
// what Japanese Windows mailers wrote.
const char *fallbackCharsets[] = {"UTF-8", "CP932", nullptr};

GMimeParserOptions *parserOptions() {
    static GMimeParserOptions *options = [] {
        g_mime_init();
        GMimeParserOptions *o = g_mime_parser_options_new();
        // Encoded words inside quoted names and without blanks around them
        // are what real mailers send.
        g_mime_parser_options_set_rfc2047_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_address_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_fallback_charsets(o, fallbackCharsets);
        return o;
    }();
    return options;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The unfolded value of the first field `name` (RFC 5322 2.2.3: a line
// break before a blank is removed), or null when there is none. Stops at the
// empty line that ends the header.
QByteArray fieldValue(QByteArrayView block, QByteArrayView name) {
    QByteArray value;
    bool inField = false, found = false;
    qsizetype pos = 0;
    while (pos < block.size()) {
        qsizetype end = block.indexOf('\n', pos);
        if (end < 0) end = block.size();
        QByteArrayView line = block.sliced(pos, end - pos);
        pos = end + 1;
        // Every CR before the LF: a line cut off at the end of the block
        // must read as it does when a line break follows.
        while (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty()) break;
        if (isBlank(line[0])) {
            if (inField) value += line;
            continue;
        }
        if (found) break;
        inField = line.size() > name.size() && line[name.size()] == ':' &&
                  line.first(name.size()).compare(name, Qt::CaseInsensitive) == 0;
        if (inField) {
            found = true;
            value = line.sliced(name.size() + 1).toByteArray();
        }
    }
    if (!found) return {};
    value.replace('\0', ' ');
    // Raw ISO-2022-JP (seven bits, with escapes) was common before
    // encoded words: read it as such when it converts.
    if (value.contains('\x1b')) {
        gsize written = 0;
        if (gchar *utf8 = g_convert(value.constData(), value.size(), "UTF-8", "ISO-2022-JP",
                                    nullptr, &written, nullptr)) {
            value = QByteArray(utf8, qsizetype(written));
            g_free(utf8);
        }
    }
    return value.isNull() ? QByteArray("") : value;
}

QString takeUtf8(char *text) {
    const QString s = text ? QString::fromUtf8(text) : QString();
    g_free(text);
    return s;
}

// Shown on one line: controls and direction overrides out, blanks
// collapsed, cut at the display length.
QString displayText(const QString &text) {
    QString out;
    out.reserve(qMin(text.size(), MaxHeaderFieldChars + 1));
    bool blank = false;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if ((u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069)) continue;
        if (c.isSpace()) {
            blank = !out.isEmpty();
            continue;
        }
        if (c.category() == QChar::Other_Control) continue;
        if (blank) out += u' ';
        blank = false;
        out += c;
        if (out.size() > MaxHeaderFieldChars + 1) break;
    }
    if (out.size() > MaxHeaderFieldChars) {
        qsizetype cut = MaxHeaderFieldChars - 1;
        if (out[cut - 1].isHighSurrogate()) --cut;
        out.truncate(cut);
        out += u'…';
    }
    return out;
}

QString decodeText(const QByteArray &value) {
    return takeUtf8(g_mime_utils_header_decode_text(parserOptions(), value.constData()));
}

QString sender(const QByteArray &value) {
    if (InternetAddressList *list =
            internet_address_list_parse(parserOptions(), value.constData())) {
        QString shown;
        if (internet_address_list_length(list) > 0) {
            InternetAddress *address = internet_address_list_get_address(list, 0);
            shown = QString::fromUtf8(internet_address_get_name(address)).trimmed();
            if (shown.isEmpty() && INTERNET_ADDRESS_IS_MAILBOX(address))
                shown = QString::fromUtf8(
                    internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
        }
        g_object_unref(list);
        if (!shown.isEmpty()) return shown;
    }
    return decodeText(value); // no address in it: the text as it stands
}

} // namespace

MailHeaders DecodeMailHeaders(QByteArrayView headerBlock) {
    MailHeaders h;
    if (const QByteArray from = fieldValue(headerBlock, "From"); !from.isNull())
        h.from = displayText(sender(from));
    if (const QByteArray subject = fieldValue(headerBlock, "Subject"); !subject.isNull())
        h.subject = displayText(decodeText(subject));
    return h;
}

QString HeaderLine(const MailHeaders &headers) {
    const QString from = headers.from.isEmpty() ? QStringLiteral("（差出人なし）") : headers.from;
    const QString subject =
        headers.subject.isEmpty() ? QStringLiteral("（件名なし）") : headers.subject;
    return from + QStringLiteral(" — ") + subject;
}
