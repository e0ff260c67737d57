#pragma once
// pop3/: the POP3 session Form1 and the seen-id store. A session takes its
// server and account as parameters, runs USER, PASS, LIST and UIDL over the
// line-session skeleton, and reports what it found by a signal; it decides
// nothing about notices and shows nothing. What the listing means is the
// check layer's business.
#include "platform/linesession.h"
#include "pop3/mailheaders.h"
#include "pop3/uidstore.h"

class Form1 : public LineSession {
    Q_OBJECT
  public:
    struct Params {
        QString host;
        quint16 port = 110;
        QString user;
        QString password;
        int guardMs = 60000; // connect and reply guards
        // StartTls: STLS after the greeting (RFC 2595 4); Tls: POP3S.
        LinkSecurity security = LinkSecurity::None;
        TlsOptions tls;
        // After the listing, the header (TOP n 0) of at most this many of the
        // newest messages whose ids are not in `seen`; 0: no TOP at all.
        // `seen` null: the seen ids are unknown and every message is new.
        int headerLimit = 0;
        std::optional<UidList> seen;
    };
    // Done: a complete UIDL listing (uids and count), or an empty mailbox.
    struct Result : SessionResult {
        bool empty = false; // LIST said the mailbox is empty
        qint16 count = 0;   // the message count LIST gave (stopped at 32767)
        UidList uids;
        // The headers read, newest first; fewer (or none) when the server
        // refused TOP or stopped answering.
        QList<MailHeaders> headers;
    };

    // Takes the link over.
    explicit Form1(Link *link, QObject *parent = nullptr);

    // The load handler: connects and starts the dialogue.
    void Form_Load(const Params &params);

    // Longest reply line taken, and largest UIDL listing collected: a server
    // past these is broken or hostile, not a mailbox.
    static constexpr qsizetype MaxLineBytes = 1000;
    static constexpr qsizetype MaxListingBytes = qsizetype(64) * 1024 * 1024;
    // Header bytes kept of one message; the rest is read and dropped.
    static constexpr qsizetype MaxHeaderBytes = 64 * 1024;

  signals:
    // The session is over and its link closed; emitted once, last.
    void finished(const Form1::Result &result);

  private:
    void linkConnected() override;
    bool lineArrived(QByteArrayView line) override;
    void lineTooLong() override;
    void secured() override;
    void serverClosed() override;
    bool endsWhenUnreachable() const override { return m_params.security != LinkSecurity::None; }
    QString serverWord() const override { return QStringLiteral("受信サーバ"); }
    quint16 implicitTlsPort() const override { return 995; }
    QString startTlsName() const override { return QStringLiteral("STLS"); }
    SessionResult timedOut() const override;
    void report(const SessionResult &result) override;

    void sendUser();
    void handleStatusLine(const QString &line);
    void sendLine(const QByteArray &command);
    void listingComplete();
    void nextHeader();
    bool readingHeaders() const { return Pop_State == 8 || Pop_State == 9; }
    void malformedListing();
    void stlsRefused(const QString &reply);

    Params m_params;
    qint16 Pop_State = 0;
    UidlListing Uidl_Data;  // the UIDL listing, split line by line as it comes
    qint64 m_scanLines = 0; // scan lines of the LIST reply
    qint16 m_count = 0;
    bool m_countFromScan = false;
    Result m_listed;          // the listing or the empty mailbox, once read
    QList<qint64> m_topQueue; // the newest new messages, whose header is still to read
    QByteArray m_header;      // the header block being read
    bool m_headerCut = false; // it reached MaxHeaderBytes
};
