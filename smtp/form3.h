#pragma once
// smtp/: the SMTP session Form3 and the notice message.
// One session sends one notice to the parameters it is given and reports
// how it went by signals; what the outcome means is the check layer's.
#include "platform/linesession.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QString>

class Form3 : public LineSession {
    Q_OBJECT
  public:
    struct Params {
        QString host;
        quint16 port = 25;
        int guardMs = 60000; // connect and reply guards
        QString sender;      // the sender field as typed; empty: the product's name
        QString recipient;
        bool settingsTest = false; // "TEST MAIL" instead of the count
        qint16 count = 0;
        QStringList headerLines; // after the count line; empty: none
        // Secure submission: EHLO, STARTTLS or TLS from the first byte, AUTH,
        // and a message with Date and Message-ID. Off (None without auth):
        // today's dialogue, byte for byte.
        LinkSecurity security = LinkSecurity::None;
        bool auth = false;
        QString authUser;
        QString authPassword;
        QString envelopeFrom; // MAIL FROM in the secure dialogue
        QString fromHeader;   // the From line's text there; empty: as in plain
        QDateTime date;       // the Date header
        TlsOptions tls;
    };

    // Takes the link over.
    explicit Form3(Link *link, QObject *parent = nullptr);

    // The load handler: connects and starts the dialogue.
    void Form_Load(const Params &params);

    // A server that never ends its reply must not fill the memory; no real
    // reply comes near this many lines.
    static constexpr qsizetype MaxReplyLines = 1000;

  signals:
    // Emitted once, last, with the link already closed. Done: the server
    // took the message (and QUIT was sent). refusedForGood: the server
    // refused the message itself, so sending it again would fail the same way.
    void finished(const SessionResult &result);

  private:
    bool lineArrived(QByteArrayView line) override;
    void lineTooLong() override;
    void secured() override;
    bool endsWhenUnreachable() const override { return secure(); }
    QString serverWord() const override { return QStringLiteral("送信サーバ"); }
    quint16 implicitTlsPort() const override { return 465; }
    QString startTlsName() const override { return QStringLiteral("STARTTLS"); }
    SessionResult timedOut() const override;
    void report(const SessionResult &result) override { emit finished(result); }

    // One complete reply; false when the dialogue ended with it.
    bool ReplyArrival(const QByteArrayList &lines);
    // A reply no server sends (a line too long, a reply without end).
    void WrongReply(const QByteArrayList &lines);
    void SendLine(const QByteArray &bytes) { send(bytes); }
    void AppendTrace(const QByteArrayList &lines);
    void ReplyError(const QByteArrayList &lines, const QString &status = {},
                    const QString &log = {});
    void SendFinished(const QByteArrayList &lines);
    bool secure() const { return m_params.security != LinkSecurity::None || m_params.auth; }
    bool SecureReply(const QByteArray &code, const QByteArrayList &lines);
    void AfterEhlo(const QByteArrayList &lines);
    void SendEhlo();
    void SendMailFrom();
    // The notice after DATA's 354, with the secure dialogue's extra headers.
    QList<QByteArray> NoticeSends(const QString &fromText) const;
    QByteArray QuitLine() const;

    Params m_params;
    qint16 Smtp_State = 0;
    QString Text1;               // trace of every reply; never shown or saved
    QByteArrayList m_replyLines; // lines of the reply being read
};
