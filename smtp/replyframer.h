#pragma once
// Cuts the server's byte stream into reply lines (RFC 5321 4.2): a reply may
// come in pieces, and a multi-line reply ("250-" lines, then "250 ") is one
// reply. Nothing here trusts the server: lines are bounded.
#include <QByteArray>
#include <QByteArrayView>

class ReplyFramer {
  public:
    // A text line may hold 1000 bytes with its CR LF (RFC 5321 4.5.3.1.6).
    static constexpr qsizetype MaxLine = 1000;
    // Lines of one reply: a server that never ends its reply must not fill
    // the memory. No real reply comes near this.
    static constexpr qsizetype MaxReplyLines = 1000;

    enum class Result { NeedMore, Line, TooLong };

    void append(QByteArrayView data) { m_buffer.append(data); }
    // The next complete line, without its line end.
    Result nextLine(QByteArray &line);
    void clear() { m_buffer.clear(); }

    // False only for a continuation line: three digits and "-".
    static bool isLastLine(QByteArrayView line);
    // The reply code of a last line: three digits followed by a blank or the
    // line end; empty for anything else.
    static QByteArray code(QByteArrayView lastLine);

  private:
    QByteArray m_buffer;
};
