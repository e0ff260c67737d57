#include "app/settingsfile.h"

#include "platform/codepage.h"

#include <optional>

namespace settingsfile {

namespace {

class Reader {
  public:
    explicit Reader(const QByteArray &bytes) : m_bytes(bytes) {}

    // A quoted field runs to its closing quote ("" inside stands for one
    // quote); what follows it up to the separator is skipped. A line break
    // inside the quotes makes the record unreadable.
    std::optional<QString> text() {
        if (!skipBlanks()) return std::nullopt;
        QByteArray raw;
        if (!atEnd() && peek() == '"') {
            ++m_pos;
            for (;;) {
                if (atEnd()) return std::nullopt;
                const char c = m_bytes[m_pos++];
                if (c == '\r' || c == '\n') return std::nullopt;
                if (c == '"') {
                    if (!atEnd() && peek() == '"') {
                        raw += '"';
                        ++m_pos;
                        continue;
                    }
                    break;
                }
                raw += c;
            }
            while (!atEnd() && !isSeparator(peek()))
                ++m_pos;
        } else {
            while (!atEnd() && !isSeparator(peek()))
                raw += m_bytes[m_pos++];
            raw = raw.trimmed();
        }
        endField();
        return cp932::decode(raw);
    }

    std::optional<qint16> integer() {
        if (!skipBlanks()) return std::nullopt;
        QByteArray raw;
        while (!atEnd() && !isSeparator(peek()))
            raw += m_bytes[m_pos++];
        endField();
        raw = raw.trimmed();
        if (raw.isEmpty()) return qint16(0);
        bool ok = false;
        const int value = raw.toInt(&ok, 10);
        if (!ok || value < -32768 || value > 32767) return std::nullopt;
        return qint16(value);
    }

  private:
    static bool isSeparator(char c) { return c == ',' || c == '\r' || c == '\n'; }
    bool atEnd() const { return m_pos >= m_bytes.size(); }
    char peek() const { return m_bytes[m_pos]; }

    // False when the file has ended before this field: a field exists at the
    // end of the file only when a comma announced it.
    bool skipBlanks() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t'))
            ++m_pos;
        return !atEnd() || m_afterComma;
    }

    // A field ends at a comma or a line end (CR LF counts once).
    void endField() {
        m_afterComma = false;
        if (atEnd()) return;
        const char c = m_bytes[m_pos++];
        if (c == ',')
            m_afterComma = true;
        else if (c == '\r' && !atEnd() && peek() == '\n')
            ++m_pos;
    }

    const QByteArray &m_bytes;
    qsizetype m_pos = 0;
    bool m_afterComma = false;
};

QByteArray quoted(const QString &text) {
    QByteArray bytes = cp932::encode(text);
    bytes.replace('"', "\"\"");
    return '"' + bytes + '"';
}

} // namespace

bool parse(const QByteArray &bytes, SettingsRecord &r) {
    Reader in(bytes);
    auto text = [&](QString &field) {
        auto v = in.text();
        if (v) field = *v;
        return v.has_value();
    };
    auto integer = [&](qint16 &field) {
        auto v = in.integer();
        if (v) field = *v;
        return v.has_value();
    };
    return text(r.POP_Address) && text(r.POP_PassWord) && text(r.Smtp_Address) &&
           text(r.Trf_IPAddress) && text(r.POP_UserID) && text(r.Smtp_mail_address) &&
           integer(r.Dup_Mode) && integer(r.Check_Interval) && integer(r.Quiet_Flag) &&
           integer(r.Trf_Flag) && text(r.Quiet_Start) && text(r.Quiet_End) && text(r.Dup_Entry);
}

QByteArray format(const SettingsRecord &r) {
    const QByteArray comma(",");
    return quoted(r.POP_Address) + comma + quoted(r.POP_PassWord) + comma + quoted(r.Smtp_Address) +
           comma + quoted(r.Trf_IPAddress) + comma + quoted(r.POP_UserID) + comma +
           quoted(r.Smtp_mail_address) + comma + QByteArray::number(r.Dup_Mode) + comma +
           QByteArray::number(r.Check_Interval) + comma + QByteArray::number(r.Quiet_Flag) + comma +
           QByteArray::number(r.Trf_Flag) + comma + quoted(r.Quiet_Start) + comma +
           quoted(r.Quiet_End) + comma + quoted(r.Dup_Entry) + "\r\n";
}

} // namespace settingsfile
